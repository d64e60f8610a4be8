#include "engine/archive/ZipEntryName.h"

#include <algorithm>
#include <array>

namespace archive {

nocase_wstring storedEntryName(const nocase_wstring& name)
{
    nocase_wstring result = name;
    std::replace(result.begin(), result.end(), L'\\', L'/');
    return result;
}

bool isStoredExtension(const nocase_wstring& name)
{
    static const std::array<nocase_wstring, 8> storedExtensions = {
        L".Z", L".zip", L".zoo", L".arc", L".lzh", L".arj", L".gz", L".tgz"};
    const std::size_t dot = name.rfind(L'.');
    if (dot == nocase_wstring::npos)
        return false;
    const nocase_wstring extension = name.substr(dot);
    return std::find(storedExtensions.begin(), storedExtensions.end(), extension)
           != storedExtensions.end();
}

namespace {

// Position just past the first parent reference between separators, or npos.
std::size_t endOfFirstParentReference(const nocase_wstring& name)
{
    static const std::array<nocase_wstring, 4> patterns = {L"\\..\\", L"\\../", L"/../", L"/..\\"};
    std::size_t first = nocase_wstring::npos;
    for (const nocase_wstring& pattern : patterns) {
        const std::size_t at = name.find(pattern);
        if (at != nocase_wstring::npos && (first == nocase_wstring::npos || at < first))
            first = at;
    }
    // Every pattern is four characters long.
    return first == nocase_wstring::npos ? first : first + 4;
}

} // namespace

nocase_wstring cleanEntryName(const nocase_wstring& rawName)
{
    nocase_wstring name = rawName;
    for (;;) {
        if (name.size() >= 2 && name[1] == L':') {
            name.erase(0, 2);
        } else if (!name.empty() && (name[0] == L'\\' || name[0] == L'/')) {
            name.erase(0, 1);
        } else if (const std::size_t end = endOfFirstParentReference(name); end != nocase_wstring::npos) {
            name.erase(0, end);
        } else {
            break;
        }
    }
    std::replace(name.begin(), name.end(), L'\\', L'/');
    return name;
}

} // namespace archive
