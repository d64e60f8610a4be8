#include "engine/platform/Folders.h"

#include "engine/ExceptionModule.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/PathUtil.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const wchar_t* kAppDataMessage = L"Cannot read appdata directory for use by this program.";
constexpr const wchar_t* kDesktopMessage = L"Cannot read desktop directory for use by this program.";
constexpr const wchar_t* kTempMessage = L"Cannot read temp directory for use by this program.";
constexpr const wchar_t* kDropboxMessage =
    L"It looks like Dropbox is not installed on this machine. Install Dropbox and then try again.";
constexpr const wchar_t* kInvalidRequestMessage = L"Internal error. Invalid folder request.";
constexpr const char* kSystemTemp = "/tmp";

// Found once per process; a failed lookup leaves it empty so the next one tries again.
std::mutex dropboxCacheMutex;
std::string dropboxCache;

// Only absolute values count: the XDG rules call relative ones invalid.
std::optional<std::string> absoluteVariable(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || value[0] != '/')
        return std::nullopt;
    return std::string(value);
}

std::optional<std::string> homeFolder()
{
    if (auto home = absoluteVariable("HOME"))
        return home;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir
        || found->pw_dir[0] != '/')
        return std::nullopt;
    return std::string(found->pw_dir);
}

std::optional<std::string> readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return contents.str();
}

bool isFolder(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates a missing base folder; failing that is the kind's own message.
nocase_wstring existingFolder(const std::string& path, bool isPrivate, const wchar_t* message)
{
    const nocase_wstring folder = trimTrailingSlashes(toWide(path));
    try {
        createFolders(folder, isPrivate);
    } catch (const ExceptionModule& error) {
        throw ExceptionModule(message, toWide(error.getCause()));
    }
    return folder;
}

nocase_wstring localAppDataFolder()
{
    std::optional<std::string> base = absoluteVariable("XDG_DATA_HOME");
    if (!base) {
        const auto home = homeFolder();
        if (!home)
            throw ExceptionModule(kAppDataMessage, L"");
        base = *home + "/.local/share";
    }
    // The XDG rules create missing data folders private.
    return existingFolder(*base, true, kAppDataMessage);
}

nocase_wstring desktopFolder()
{
    std::optional<std::string> base = absoluteVariable("XDG_DESKTOP_DIR");
    if (!base) {
        const auto home = homeFolder();
        if (!home)
            throw ExceptionModule(kDesktopMessage, L"");
        const std::string config = absoluteVariable("XDG_CONFIG_HOME").value_or(*home + "/.config");
        if (const auto contents = readWholeFile(config + "/user-dirs.dirs"))
            base = desktopFromUserDirs(*contents, *home);
        if (!base)
            base = *home + "/Desktop";
    }
    // Files are put on the desktop; a desktop that does not exist yet is made.
    return existingFolder(*base, false, kDesktopMessage);
}

nocase_wstring tempFolder()
{
    if (const auto variable = absoluteVariable("TMPDIR"); variable && isFolder(*variable))
        return trimTrailingSlashes(toWide(*variable));
    if (!isFolder(kSystemTemp))
        throw ExceptionModule(kTempMessage, systemErrorText());
    return toWide(kSystemTemp);
}

std::optional<std::string> dropboxFromSettings(const std::string& home)
{
    if (const auto json = readWholeFile(home + "/.dropbox/info.json")) {
        if (auto path = dropboxPathFromInfoJson(*json))
            return path;
    }
    if (const auto hostDb = readWholeFile(home + "/.dropbox/host.db")) {
        auto path = decodeDropboxLine(lastLineOf(*hostDb));
        if (path && !path->empty())
            return path;
    }
    return std::nullopt;
}

nocase_wstring dropboxFolder()
{
    const std::lock_guard<std::mutex> lock(dropboxCacheMutex);
    if (dropboxCache.empty()) {
        const auto home = homeFolder();
        const auto found = home ? dropboxFromSettings(*home) : std::nullopt;
        if (!found)
            throw ExceptionModule(kDropboxMessage, L"");
        dropboxCache = *found;
    }
    return trimTrailingSlashes(toWide(dropboxCache));
}

// The value of a user-dirs.dirs assignment: a double-quoted text whose
// backslashes escape the next character, or a bare word.
std::string assignmentValue(std::string_view text)
{
    std::string value;
    if (text.empty() || text.front() != '"') {
        const std::size_t end = text.find_first_of(" \t");
        return std::string(text.substr(0, end));
    }
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '"')
            return value;
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        value += text[i];
    }
    return {}; // unterminated quote
}

} // namespace

std::optional<std::string> desktopFromUserDirs(std::string_view contents, const std::string& home)
{
    constexpr std::string_view kKey = "XDG_DESKTOP_DIR=";
    std::optional<std::string> result;
    std::size_t start = 0;
    while (start < contents.size()) {
        std::size_t end = contents.find('\n', start);
        if (end == std::string_view::npos)
            end = contents.size();
        std::string_view line = contents.substr(start, end - start);
        start = end + 1;

        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.substr(0, kKey.size()) != kKey)
            continue;
        const std::string value = assignmentValue(line.substr(kKey.size()));
        for (const std::string_view prefix : {std::string_view("$HOME"), std::string_view("${HOME}")}) {
            if (value.compare(0, prefix.size(), prefix) == 0
                && (value.size() == prefix.size() || value[prefix.size()] == '/')) {
                result = home + value.substr(prefix.size());
                break;
            }
        }
        if (!value.empty() && value.front() == '/')
            result = value;
    }
    return result;
}

void clearDropboxCache()
{
    const std::lock_guard<std::mutex> lock(dropboxCacheMutex);
    dropboxCache.clear();
}

nocase_wstring resolveFolder(FolderKind kind, const nocase_wstring& subFolder)
{
    nocase_wstring base;
    bool isPrivate = false;
    switch (kind) {
    case LocalAppDataKind:
        base = localAppDataFolder();
        isPrivate = true;
        break;
    case DesktopKind:
        base = desktopFolder();
        break;
    case TempKind:
        base = tempFolder();
        isPrivate = true;
        break;
    case DropboxKind:
        base = dropboxFolder();
        break;
    default:
        throw ExceptionModule(kInvalidRequestMessage, L"");
    }
    if (subFolder.empty())
        return base;
    if (!isSafeRelativePath(subFolder))
        throw ExceptionModule(kInvalidRequestMessage, L"");

    // Each level of the sub-folder is created; the base folder itself must exist.
    nocase_wstring path = base;
    std::size_t start = 0;
    while (start <= subFolder.size()) {
        std::size_t slash = subFolder.find(L'/', start);
        if (slash == nocase_wstring::npos)
            slash = subFolder.size();
        path = joinPath(path, subFolder.substr(start, slash - start));
        createFolder(path, isPrivate);
        start = slash + 1;
    }
    return path;
}
