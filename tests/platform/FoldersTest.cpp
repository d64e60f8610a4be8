#include "engine/ExceptionModule.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/Folders.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

const char* const kDropboxMessage =
    "It looks like Dropbox is not installed on this machine. Install Dropbox and then try again.";

std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ExceptionModule& error) {
        return error.getMessage();
    }
    return "(nothing thrown)";
}

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Sets an environment variable for one test and puts the old value back.
class EnvironmentGuard {
public:
    EnvironmentGuard(const char* name, const std::optional<std::string>& value) : name(name)
    {
        if (const char* old = std::getenv(name))
            previous = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~EnvironmentGuard()
    {
        if (previous)
            setenv(name, previous->c_str(), 1);
        else
            unsetenv(name);
    }

private:
    const char* name;
    std::optional<std::string> previous;
};

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : previous(umask(mask)) {}
    ~UmaskGuard() { umask(previous); }

private:
    mode_t previous;
};

// Each Dropbox test gets its own home with its own ~/.dropbox.
class DropboxFolder : public ::testing::Test {
protected:
    DropboxFolder() : home(testsupport::makeScratchFolder("dropbox-home")), homeGuard("HOME", home)
    {
        clearDropboxCache();
    }
    ~DropboxFolder() override { clearDropboxCache(); }

    void writeSetting(const std::string& name, const std::string& contents)
    {
        testsupport::writeFile(home + "/.dropbox/" + name, contents);
    }
    std::string resolved() { return toNarrow(resolveFolder(DropboxKind)); }

    std::string home;
    EnvironmentGuard homeGuard;
};

} // namespace

TEST(DropboxLine, DecodesBase64AndDropsZeroBytes)
{
    // Encodings made with Python's base64 module.
    EXPECT_EQ(decodeDropboxLine("L2hvbWUvYWxpY2UvRHJvcGJveA=="), "/home/alice/Dropbox");
    EXPECT_EQ(decodeDropboxLine("L2hvbWUvYm9iL0Ryb3Bib3ggKFBlcnNvbmFsKQ=="), "/home/bob/Dropbox (Personal)");
    EXPECT_EQ(decodeDropboxLine("L21lZGlhL2TDqXDDtHQvRHJvcGJveA=="), "/media/d\xc3\xa9p\xc3\xb4t/Dropbox");
    EXPECT_EQ(decodeDropboxLine("L3g=\n"), "/x");
    EXPECT_EQ(decodeDropboxLine("L3g=\r\n"), "/x");
    EXPECT_EQ(decodeDropboxLine("L3g"), "/x"); // unpadded
    EXPECT_EQ(decodeDropboxLine("AC9hAGI="), "/ab"); // b"\0/a\0b": zero bytes vanish
    EXPECT_EQ(decodeDropboxLine(""), "");

    EXPECT_EQ(decodeDropboxLine("L2hv!bWU="), std::nullopt);
    EXPECT_EQ(decodeDropboxLine("L2hv bWU="), std::nullopt);
    EXPECT_EQ(decodeDropboxLine("L2hv\nbWU="), std::nullopt); // only a trailing line end is dropped
    EXPECT_EQ(decodeDropboxLine("L2hvb"), std::nullopt);        // one character cannot hold a byte
}

TEST(DropboxLine, LastLineIsWhatALineReaderEndsWith)
{
    EXPECT_EQ(lastLineOf("first\nsecond\n"), "second");
    EXPECT_EQ(lastLineOf("first\nsecond"), "second");
    EXPECT_EQ(lastLineOf("first\r\nsecond\r\n"), "second");
    EXPECT_EQ(lastLineOf("only"), "only");
    EXPECT_EQ(lastLineOf("first\n\n"), "");
    EXPECT_EQ(lastLineOf(""), "");
}

TEST(DropboxInfoJson, ReadsPersonalThenBusinessPath)
{
    EXPECT_EQ(dropboxPathFromInfoJson(R"J({"personal": {"path": "/home/a/Dropbox", "host": 123, "is_team": false}})J"),
              "/home/a/Dropbox");
    EXPECT_EQ(dropboxPathFromInfoJson(
                  R"J({"business": {"path": "/home/a/Dropbox (Firm)"}, "personal": {"path": "/home/a/Dropbox"}})J"),
              "/home/a/Dropbox");
    EXPECT_EQ(dropboxPathFromInfoJson(R"J({"business": {"path": "/home/a/Dropbox (Firm)", "subscription_type": null}})J"),
              "/home/a/Dropbox (Firm)");
    EXPECT_EQ(dropboxPathFromInfoJson(R"J({"personal": {"path": ""}, "business": {"path": "/b"}})J"), "/b");
    // Escapes, including a surrogate pair, become UTF-8.
    EXPECT_EQ(dropboxPathFromInfoJson(R"J({"personal":{"path":"\/home\/J\u00f6rg\/\"Drop\" \\box \ud83d\ude00"}})J"),
              "/home/J\xc3\xb6rg/\"Drop\" \\box \xf0\x9f\x98\x80");
    EXPECT_EQ(dropboxPathFromInfoJson("\xEF\xBB\xBF{\"personal\":{\"path\":\"/bom\"}}"), "/bom");
    EXPECT_EQ(dropboxPathFromInfoJson(R"J({"personal": {"tags": [1, 2.5e3, {"path": "/not-this"}], "path": "/p"}})J"),
              "/p");

    const char* const unusable[] = {
        "",
        "{}",
        R"J({"path": "/top-level"})J",
        R"J({"personal": {"paths": ["/x"]}})J",
        R"J({"personal": ["path", "/x"]})J",
        R"J({"personal": {"path": 12}})J",
        R"J({"personal": {"path": "/x"})J",          // unterminated
        R"J({"personal": {"path": "/x"}} trailing)J",
        R"J({"personal": {"path": "/x\q"}})J",       // unknown escape
        R"J({"personal": {"path": "/x\ud83d"}})J",   // lone high surrogate
        R"J({"personal": {"path": "/x\u0000y"}})J",  // NUL
        "{\"personal\": {\"path\": \"/x\ny\"}}",   // raw control character
        R"J({"personal": {"path": "/x",}})J",
    };
    for (const char* text : unusable)
        EXPECT_EQ(dropboxPathFromInfoJson(text), std::nullopt) << text;

    // Deep nesting is refused instead of exhausting the stack.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(dropboxPathFromInfoJson(deep), std::nullopt);
}

TEST_F(DropboxFolder, HostDbLastLineNamesTheFolder)
{
    writeSetting("host.db", "3c9a1b2e4f5d6c7b8a9e0f1d2c3b4a5e\nL2hvbWUvYWxpY2UvRHJvcGJveA==\n");
    EXPECT_EQ(resolved(), "/home/alice/Dropbox");
}

TEST_F(DropboxFolder, InfoJsonComesFirst)
{
    writeSetting("host.db", "x\nL2hvbWUvYWxpY2UvRHJvcGJveA==\n");
    writeSetting("info.json", R"J({"personal": {"path": "/home/alice/Dropbox (Personal)", "host": 5}})J");
    EXPECT_EQ(resolved(), "/home/alice/Dropbox (Personal)");
}

TEST_F(DropboxFolder, UnusableInfoJsonFallsBackToHostDb)
{
    writeSetting("info.json", "{not json");
    writeSetting("host.db", "x\nL3g=");
    EXPECT_EQ(resolved(), "/x");
}

TEST_F(DropboxFolder, MissingOrBadSettingsReportDropboxAndCacheNothing)
{
    EXPECT_EQ(messageOf([&] { (void)resolved(); }), kDropboxMessage);

    writeSetting("host.db", "x\nL2hv!bWU=\n");
    EXPECT_EQ(messageOf([&] { (void)resolved(); }), kDropboxMessage);

    writeSetting("host.db", "");
    EXPECT_EQ(messageOf([&] { (void)resolved(); }), kDropboxMessage);

    // Nothing was cached by the failures: a repaired file is read at once.
    writeSetting("host.db", "x\nL3g=\n");
    EXPECT_EQ(resolved(), "/x");
}

TEST_F(DropboxFolder, FoundFolderIsKeptForTheProcess)
{
    writeSetting("host.db", "x\nL2hvbWUvYWxpY2UvRHJvcGJveA==\n");
    EXPECT_EQ(resolved(), "/home/alice/Dropbox");
    fs::remove(home + "/.dropbox/host.db");
    EXPECT_EQ(resolved(), "/home/alice/Dropbox");
    clearDropboxCache();
    EXPECT_EQ(messageOf([&] { (void)resolved(); }), kDropboxMessage);
}

TEST(UserDirs, DesktopLineIsExpandedLikeTheShellWould)
{
    const std::string home = "/home/alice";
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", home), "/home/alice/Desktop");
    EXPECT_EQ(desktopFromUserDirs("# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                                  "  XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n",
                                  home),
              "/home/alice/Schreibtisch");
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"/data/desk top\"", home), "/data/desk top");
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"$HOME/John\\\"s \\\\desk\"", home),
              "/home/alice/John\"s \\desk");
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"$HOME/\"", home), "/home/alice/");
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"${HOME}/D\"", home), "/home/alice/D");
    // The last assignment wins, as when the file is sourced.
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"/one\"\nXDG_DESKTOP_DIR=\"/two\"\n", home), "/two");

    EXPECT_EQ(desktopFromUserDirs("", home), std::nullopt);
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"relative/Desktop\"", home), std::nullopt);
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"$HOMEWORK/x\"", home), std::nullopt);
    EXPECT_EQ(desktopFromUserDirs("# XDG_DESKTOP_DIR=\"/commented\"", home), std::nullopt);
    EXPECT_EQ(desktopFromUserDirs("XDG_DESKTOP_DIR=\"/unterminated", home), std::nullopt);
}

TEST(ResolveFolder, FindsEachKindFromTheEnvironment)
{
    const std::string root = testsupport::makeScratchFolder("kinds");
    const EnvironmentGuard data("XDG_DATA_HOME", root + "/data/");
    const EnvironmentGuard desktop("XDG_DESKTOP_DIR", root + "/desk");
    const EnvironmentGuard temp("TMPDIR", root + "/tmp");
    fs::create_directories(root + "/tmp");

    // A missing data or desktop folder is made; the data folder private.
    EXPECT_EQ(toNarrow(resolveFolder(LocalAppDataKind)), root + "/data");
    EXPECT_EQ(modeOf(root + "/data"), 0700u);
    EXPECT_EQ(toNarrow(resolveFolder(DesktopKind)), root + "/desk");
    EXPECT_TRUE(fs::is_directory(root + "/desk"));
    EXPECT_EQ(toNarrow(resolveFolder(TempKind)), root + "/tmp");
}

TEST(ResolveFolder, FallsBackToHomeAndUserDirs)
{
    const std::string home = testsupport::makeScratchFolder("fallback-home");
    const EnvironmentGuard homeGuard("HOME", home);
    const EnvironmentGuard data("XDG_DATA_HOME", std::nullopt);
    const EnvironmentGuard desktop("XDG_DESKTOP_DIR", std::nullopt);
    const EnvironmentGuard config("XDG_CONFIG_HOME", std::nullopt);
    const EnvironmentGuard temp("TMPDIR", std::nullopt);

    EXPECT_EQ(toNarrow(resolveFolder(LocalAppDataKind)), home + "/.local/share");
    EXPECT_EQ(toNarrow(resolveFolder(DesktopKind)), home + "/Desktop");
    EXPECT_EQ(toNarrow(resolveFolder(TempKind)), "/tmp");

    testsupport::writeFile(home + "/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n");
    EXPECT_EQ(toNarrow(resolveFolder(DesktopKind)), home + "/Bureau");

    const EnvironmentGuard relativeTemp("TMPDIR", "relative/tmp");
    EXPECT_EQ(toNarrow(resolveFolder(TempKind)), "/tmp");
    const EnvironmentGuard missingTemp("TMPDIR", home + "/no-such-folder");
    EXPECT_EQ(toNarrow(resolveFolder(TempKind)), "/tmp");
}

TEST(ResolveFolder, SubFoldersAreCreatedPrivateOrOrdinary)
{
    const UmaskGuard mask(022);
    const std::string data = toNarrow(resolveFolder(LocalAppDataKind));
    const std::string vault = toNarrow(resolveFolder(LocalAppDataKind, L"kist"));
    EXPECT_EQ(vault, data + "/kist");
    EXPECT_EQ(modeOf(vault), 0700u);
    EXPECT_EQ(toNarrow(resolveFolder(LocalAppDataKind, L"Brannoway/Korvelin")), data + "/Brannoway/Korvelin");
    EXPECT_EQ(modeOf(data + "/Brannoway"), 0700u);

    const std::string restored = toNarrow(resolveFolder(DesktopKind, L"KORVELIN Restored Files"));
    EXPECT_EQ(restored, toNarrow(resolveFolder(DesktopKind)) + "/KORVELIN Restored Files");
    EXPECT_EQ(modeOf(restored), 0755u);
    // The second time the folder exists already and that is fine.
    EXPECT_EQ(toNarrow(resolveFolder(DesktopKind, L"KORVELIN Restored Files")), restored);

    // A fresh private folder per request, as for a temporary vault.
    const std::string first = toNarrow(resolveFolder(TempKind, uniqueId()));
    const std::string second = toNarrow(resolveFolder(TempKind, uniqueId()));
    EXPECT_NE(first, second);
    EXPECT_EQ(modeOf(first), 0700u);
    EXPECT_EQ(modeOf(second), 0700u);
}

TEST(ResolveFolder, RefusesUnknownKindsAndUnsafeSubFolders)
{
    const std::string invalid = "Internal error. Invalid folder request.";
    EXPECT_EQ(messageOf([] { (void)resolveFolder(static_cast<FolderKind>(4)); }), invalid);
    EXPECT_EQ(messageOf([] { (void)resolveFolder(static_cast<FolderKind>(-1)); }), invalid);
    EXPECT_EQ(messageOf([] { (void)resolveFolder(TempKind, L"../escape"); }), invalid);
    EXPECT_EQ(messageOf([] { (void)resolveFolder(TempKind, L"/etc"); }), invalid);

    const std::string temp = toNarrow(resolveFolder(TempKind));
    testsupport::writeFile(temp + "/occupied", "file");
    EXPECT_EQ(messageOf([] { (void)resolveFolder(TempKind, L"occupied"); }), "Failed to create " + temp + "/occupied");
}

TEST(ResolveFolder, UnusableAppDataIsReportedWithItsOwnMessage)
{
    const std::string root = testsupport::makeScratchFolder("bad-appdata");
    testsupport::writeFile(root + "/file", "x");
    const EnvironmentGuard data("XDG_DATA_HOME", root + "/file/data");
    EXPECT_EQ(messageOf([] { (void)resolveFolder(LocalAppDataKind); }),
              "Cannot read appdata directory for use by this program.");
    const EnvironmentGuard desktop("XDG_DESKTOP_DIR", root + "/file/desk");
    EXPECT_EQ(messageOf([] { (void)resolveFolder(DesktopKind); }),
              "Cannot read desktop directory for use by this program.");
}
