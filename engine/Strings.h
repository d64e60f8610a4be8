#pragma once

#include <cstddef>
#include <cwchar>
#include <string>
#include <string_view>

#include "engine/KistExport.h"

// Character traits that ignore the case of the ASCII letters a-z/A-Z and
// compare every other code unit by value. Paths, names and messages inside
// the engine use them, so "a.TXT" and "A.txt" are the same display name.
struct KIST_EXPORT traits_nocase : std::char_traits<wchar_t> {
    static constexpr wchar_t fold(wchar_t c) noexcept
    {
        return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
    }
    static constexpr bool eq(wchar_t a, wchar_t b) noexcept { return fold(a) == fold(b); }
    static constexpr bool lt(wchar_t a, wchar_t b) noexcept
    {
        return static_cast<unsigned long>(fold(a)) < static_cast<unsigned long>(fold(b));
    }
    static constexpr int compare(const wchar_t* a, const wchar_t* b, std::size_t n) noexcept
    {
        for (std::size_t i = 0; i < n; ++i) {
            if (lt(a[i], b[i]))
                return -1;
            if (lt(b[i], a[i]))
                return 1;
        }
        return 0;
    }
    static constexpr const wchar_t* find(const wchar_t* s, std::size_t n, wchar_t c) noexcept
    {
        for (std::size_t i = 0; i < n; ++i)
            if (eq(s[i], c))
                return s + i;
        return nullptr;
    }
};

using nocase_wstring = std::basic_string<wchar_t, traits_nocase>;

// Narrow text at the library boundary is UTF-8. Bytes that are not valid
// UTF-8 map to U+DC80..U+DCFF and back, so every byte string a Linux file
// name can hold survives the round trip.
KIST_EXPORT nocase_wstring toWide(std::string_view narrow);
KIST_EXPORT std::string toNarrow(const nocase_wstring& wide);

// Exact (case-sensitive) equality; file-system identity is never case-blind.
inline bool sameExactly(const nocase_wstring& a, const nocase_wstring& b)
{
    return std::wstring_view(a.data(), a.size()) == std::wstring_view(b.data(), b.size());
}

// The platform's text for the calling thread's last error (errno).
nocase_wstring systemErrorText();
nocase_wstring systemErrorText(int errorNumber);
