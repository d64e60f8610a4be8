#include "engine/platform/PathUtil.h"

#include "engine/ExceptionModule.h"

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr wchar_t kSeparator = L'/';

// Numbers tried by freeTargetName, as for display names.
constexpr int kFirstCopyNumber = 2;
constexpr int kLastCopyNumber = 9999;

std::wstring_view exact(const nocase_wstring& s)
{
    return {s.data(), s.size()};
}

// Taken, or a name too long to be made at all.
bool occupied(const nocase_wstring& path)
{
    struct stat info {};
    return lstat(toNarrow(path).c_str(), &info) == 0 || errno == ENAMETOOLONG;
}

nocase_wstring workingFolder(const nocase_wstring& forPath)
{
    std::string buffer(256, '\0');
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr)
            break;
        if (errno != ERANGE)
            throw ExceptionModule(L"Cannot find the file: " + forPath, systemErrorText());
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return toWide(buffer);
}

// stem + suffix, the stem shortened by whole characters until the name fits
// the file system's limit (NAME_MAX bytes): a name that is too long is no
// free name, it cannot be made at all.
nocase_wstring fitted(nocase_wstring stem, const nocase_wstring& suffix)
{
    const std::size_t suffixBytes = toNarrow(suffix).size();
    while (!stem.empty() && toNarrow(stem).size() + suffixBytes > NAME_MAX)
        stem.pop_back();
    return stem + suffix;
}

} // namespace

nocase_wstring trimTrailingSlashes(const nocase_wstring& path)
{
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == kSeparator)
        --end;
    return path.substr(0, end);
}

nocase_wstring joinPath(const nocase_wstring& folder, const nocase_wstring& name)
{
    std::size_t start = 0;
    while (start < name.size() && name[start] == kSeparator)
        ++start;
    const nocase_wstring tail = name.substr(start);
    if (folder.empty())
        return tail;
    nocase_wstring joined = trimTrailingSlashes(folder);
    if (joined.back() != kSeparator)
        joined += kSeparator;
    return joined + tail;
}

nocase_wstring lastComponent(const nocase_wstring& path)
{
    const nocase_wstring trimmed = trimTrailingSlashes(path);
    const std::size_t slash = trimmed.rfind(kSeparator);
    if (slash == nocase_wstring::npos)
        return trimmed;
    return trimmed.substr(slash + 1);
}

nocase_wstring parentFolder(const nocase_wstring& path)
{
    const nocase_wstring trimmed = trimTrailingSlashes(path);
    const std::size_t slash = trimmed.rfind(kSeparator);
    if (slash == nocase_wstring::npos || trimmed.size() == 1)
        return {};
    if (slash == 0)
        return nocase_wstring(1, kSeparator);
    return trimTrailingSlashes(trimmed.substr(0, slash));
}

bool isInsideOrSame(const nocase_wstring& path, const nocase_wstring& folder)
{
    const nocase_wstring p = trimTrailingSlashes(path);
    const nocase_wstring f = trimTrailingSlashes(folder);
    if (f.empty() || p.size() < f.size())
        return false;
    if (exact(p).substr(0, f.size()) != exact(f))
        return false;
    if (p.size() == f.size())
        return true;
    // A prefix counts only when it ends at a separator: "/data2" is not in "/data".
    return f.back() == kSeparator || p[f.size()] == kSeparator;
}

bool isSafeComponent(const nocase_wstring& name)
{
    if (name.empty() || sameExactly(name, L".") || sameExactly(name, L".."))
        return false;
    for (const wchar_t c : name) {
        if (c == kSeparator || c == L'\0')
            return false;
    }
    return true;
}

bool isSafeRelativePath(const nocase_wstring& path)
{
    if (path.empty() || path.front() == kSeparator)
        return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find(kSeparator, start);
        const nocase_wstring component =
            path.substr(start, slash == nocase_wstring::npos ? nocase_wstring::npos : slash - start);
        if (!isSafeComponent(component))
            return false;
        if (slash == nocase_wstring::npos)
            return true;
        start = slash + 1;
    }
}

nocase_wstring makeAbsolute(const nocase_wstring& path)
{
    const nocase_wstring full =
        (!path.empty() && path.front() == kSeparator) ? path : joinPath(workingFolder(path), path);

    std::vector<nocase_wstring> components;
    std::size_t start = 0;
    while (start <= full.size()) {
        std::size_t slash = full.find(kSeparator, start);
        if (slash == nocase_wstring::npos)
            slash = full.size();
        const nocase_wstring component = full.substr(start, slash - start);
        if (sameExactly(component, L"..")) {
            if (!components.empty())
                components.pop_back();
        } else if (!component.empty() && !sameExactly(component, L".")) {
            components.push_back(component);
        }
        start = slash + 1;
    }

    nocase_wstring result;
    for (const nocase_wstring& component : components)
        result += kSeparator + component;
    return result.empty() ? nocase_wstring(1, kSeparator) : result;
}

nocase_wstring freeTargetName(const nocase_wstring& folder, const nocase_wstring& name, bool isFolder)
{
    if (!occupied(joinPath(folder, name)))
        return name;

    nocase_wstring stem = name;
    nocase_wstring extension;
    const std::size_t dot = name.rfind(L'.');
    // A leading dot marks a hidden name, not an extension; a trailing one is no extension either.
    if (!isFolder && dot != nocase_wstring::npos && dot != 0 && dot + 1 < name.size()) {
        stem = name.substr(0, dot);
        extension = name.substr(dot);
    }
    for (int number = kFirstCopyNumber; number <= kLastCopyNumber; ++number) {
        const std::wstring digits = std::to_wstring(number);
        const nocase_wstring candidate =
            fitted(stem, L" (" + nocase_wstring(digits.begin(), digits.end()) + L")" + extension);
        if (!occupied(joinPath(folder, candidate)))
            return candidate;
    }
    throw ExceptionModule(L"Cannot generate a unique id or file name.", L"");
}
