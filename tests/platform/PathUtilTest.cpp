#include "engine/ExceptionModule.h"
#include "engine/platform/PathUtil.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string exact(const nocase_wstring& s)
{
    return toNarrow(s);
}

struct TwoArgCase {
    const wchar_t* first;
    const wchar_t* second;
    const wchar_t* expected;
};

struct OneArgCase {
    const wchar_t* input;
    const wchar_t* expected;
};

} // namespace

TEST(PathUtil, JoinPathPutsExactlyOneSeparatorBetween)
{
    const TwoArgCase cases[] = {
        {L"/a", L"b", L"/a/b"},     {L"/a/", L"b", L"/a/b"},  {L"/a//", L"/b", L"/a/b"},
        {L"/", L"b", L"/b"},        {L"", L"b", L"b"},        {L"rel", L"x y.txt", L"rel/x y.txt"},
        {L"/a", L"b/c", L"/a/b/c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exact(joinPath(c.first, c.second)), exact(c.expected)) << exact(c.first) << " + " << exact(c.second);
}

TEST(PathUtil, ComponentsAndParents)
{
    const OneArgCase last[] = {
        {L"/a/b", L"b"}, {L"/a/b/", L"b"}, {L"b", L"b"}, {L"/", L""}, {L"", L""}, {L"/a//b//", L"b"},
    };
    for (const auto& c : last)
        EXPECT_EQ(exact(lastComponent(c.input)), exact(c.expected)) << exact(c.input);

    const OneArgCase parents[] = {
        {L"/a/b", L"/a"}, {L"/a/b/", L"/a"}, {L"/a", L"/"},   {L"/", L""},
        {L"name", L""},   {L"a/b", L"a"},    {L"/a//b", L"/a"}, {L"", L""},
    };
    for (const auto& c : parents)
        EXPECT_EQ(exact(parentFolder(c.input)), exact(c.expected)) << exact(c.input);

    const OneArgCase trims[] = {{L"/a/b//", L"/a/b"}, {L"/", L"/"}, {L"///", L"/"}, {L"a", L"a"}, {L"", L""}};
    for (const auto& c : trims)
        EXPECT_EQ(exact(trimTrailingSlashes(c.input)), exact(c.expected)) << exact(c.input);
}

TEST(PathUtil, InsideOrSameComparesWholeComponentsExactly)
{
    struct Case {
        const wchar_t* path;
        const wchar_t* folder;
        bool expected;
    };
    const Case cases[] = {
        {L"/data", L"/data", true},       {L"/data/", L"/data", true},     {L"/data/sub/x", L"/data", true},
        {L"/data2/x", L"/data", false},   {L"/data2", L"/data", false},    {L"/dat", L"/data", false},
        {L"/Data/sub", L"/data", false},  {L"/data/sub", L"/Data", false}, {L"/anything", L"/", true},
        {L"/data/sub", L"/data/", true},  {L"/x", L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isInsideOrSame(c.path, c.folder), c.expected) << exact(c.path) << " in " << exact(c.folder);
}

TEST(PathUtil, SafeComponentsAndRelativePaths)
{
    EXPECT_TRUE(isSafeComponent(L"report.docx"));
    EXPECT_TRUE(isSafeComponent(L"John's ...notes"));
    EXPECT_TRUE(isSafeComponent(L"..."));
    EXPECT_FALSE(isSafeComponent(L""));
    EXPECT_FALSE(isSafeComponent(L"."));
    EXPECT_FALSE(isSafeComponent(L".."));
    EXPECT_FALSE(isSafeComponent(L"a/b"));
    EXPECT_FALSE(isSafeComponent(nocase_wstring(L"a\0b", 3)));

    EXPECT_TRUE(isSafeRelativePath(L"a"));
    EXPECT_TRUE(isSafeRelativePath(L"a/b c/d.txt"));
    EXPECT_FALSE(isSafeRelativePath(L""));
    EXPECT_FALSE(isSafeRelativePath(L"/etc/passwd"));
    EXPECT_FALSE(isSafeRelativePath(L"a/../../b"));
    EXPECT_FALSE(isSafeRelativePath(L".."));
    EXPECT_FALSE(isSafeRelativePath(L"a//b"));
    EXPECT_FALSE(isSafeRelativePath(L"a/"));
    EXPECT_FALSE(isSafeRelativePath(L"./a"));
}

TEST(PathUtil, MakeAbsoluteCollapsesDotsLexically)
{
    const OneArgCase cases[] = {
        {L"/a/./b/../c", L"/a/c"}, {L"/a//b/", L"/a/b"}, {L"/../..", L"/"}, {L"/", L"/"}, {L"/a/b/..", L"/a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exact(makeAbsolute(c.input)), exact(c.expected)) << exact(c.input);

    const std::string folder = testsupport::makeScratchFolder("cwd");
    const std::string previous = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(folder.c_str()), 0);
    EXPECT_EQ(exact(makeAbsolute(L"x/./y/../z")), folder + "/x/z");
    EXPECT_EQ(exact(makeAbsolute(L"")), folder);
    ASSERT_EQ(chdir(previous.c_str()), 0);
}

TEST(PathUtil, FreeTargetNameNumbersBeforeTheExtension)
{
    const std::string folder = testsupport::makeScratchFolder("free-names");
    const nocase_wstring wideFolder = toWide(folder);
    for (const char* taken : {"report.docx", "report (2).docx", ".bashrc", "docs", "my.photos", "archive.tar.gz",
                              "trailing.", "Upper.txt"})
        testsupport::writeFile(folder + "/" + taken, "x");
    std::filesystem::create_directory(folder + "/dir.d");
    // A dangling link still occupies its name.
    std::filesystem::create_symlink(folder + "/nowhere", folder + "/link.txt");

    struct Case {
        const wchar_t* name;
        bool isFolder;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"new.docx", false, L"new.docx"},
        {L"report.docx", false, L"report (3).docx"},
        {L".bashrc", false, L".bashrc (2)"},
        {L"docs", true, L"docs (2)"},
        {L"my.photos", true, L"my.photos (2)"},
        {L"archive.tar.gz", false, L"archive.tar (2).gz"},
        {L"trailing.", false, L"trailing. (2)"},
        {L"dir.d", true, L"dir.d (2)"},
        {L"link.txt", false, L"link (2).txt"},
        // Names are looked up exactly: another case is another file.
        {L"upper.txt", false, L"upper.txt"},
        {L"Upper.txt", false, L"Upper (2).txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exact(freeTargetName(wideFolder, c.name, c.isFolder)), exact(c.expected)) << exact(c.name);
}
