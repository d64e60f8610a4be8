#include <gtest/gtest.h>

#include "engine/archive/ZipEntryName.h"

using archive::cleanEntryName;
using archive::isStoredExtension;
using archive::storedEntryName;

namespace {

std::wstring cleaned(const std::wstring& raw)
{
    const nocase_wstring name = cleanEntryName(nocase_wstring(raw.begin(), raw.end()));
    return std::wstring(name.begin(), name.end());
}

std::string printable(const std::wstring& text)
{
    return toNarrow(nocase_wstring(text.begin(), text.end()));
}

} // namespace

TEST(ZipEntryName, CleaningStripsDrivesLeadingSeparatorsAndParentReferences)
{
    struct Case {
        std::wstring raw;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"..\\..\\evil.txt", L"evil.txt"},
        {L"C:\\x\\y.txt", L"x/y.txt"},
        {L"/etc/passwd", L"etc/passwd"},
        {L"plain/name.txt", L"plain/name.txt"},
        {L"a\\b\\c.txt", L"a/b/c.txt"},
        {L"\\\\server\\share\\f.txt", L"server/share/f.txt"},
        {L"C:/../../x.txt", L"x.txt"},
        {L"c:d:\\e.txt", L"e.txt"},
        {L"a/b/../c.txt", L"c.txt"},
        {L"a/..\\b/../c.txt", L"c.txt"},
        {L"a\\../b.txt", L"b.txt"},
        {L"///x", L"x"},
        // A leading parent reference alone is none of the patterns; extraction
        // refuses such names instead.
        {L"../evil.txt", L"../evil.txt"},
        {L"a/../../evil.txt", L"../evil.txt"},
        {L"..", L".."},
        {L"folder/", L"folder/"},
        {L"dots..in..name.txt", L"dots..in..name.txt"},
        {L"r\u00e9sum\u00e9 \u65e5\u672c.txt", L"r\u00e9sum\u00e9 \u65e5\u672c.txt"},
        {L"", L""},
        {L"/", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(printable(cleaned(c.raw)), printable(c.expected)) << printable(c.raw);
}

TEST(ZipEntryName, StackedPrefixesAllGo)
{
    // Prefixes that feed one another must all go, however they are stacked.
    const std::wstring pieces[] = {L"C:", L"\\", L"/", L"x\\..\\", L"y/../", L"z\\../", L"w/..\\"};
    for (const auto& a : pieces)
        for (const auto& b : pieces)
            for (const auto& c : pieces) {
                EXPECT_EQ(printable(cleaned(a + b + c + L"f.txt")), "f.txt") << printable(a + b + c);
            }
}

TEST(ZipEntryName, ArchiveExtensionsAreStoredEverythingElseDeflated)
{
    for (const wchar_t* name : {L"notes.ZIP", L"photo.tgz", L"a.Z", L"a.z", L"b.zoo", L"c.ARC", L"d.lzh", L"e.arj",
                                L"f.gz", L"dir.txt/inner.Gz"}) {
        EXPECT_TRUE(isStoredExtension(name)) << toNarrow(name);
    }
    for (const wchar_t* name : {L"a.txt", L"README", L"archive.zip.txt", L"x.zipx", L"dir.zip/README", L"tar.gz.bak",
                                L".", L"gz", L"photo.tgz "}) {
        EXPECT_FALSE(isStoredExtension(name)) << toNarrow(name);
    }
}

TEST(ZipEntryName, AddedNamesUseForwardSlashes)
{
    EXPECT_EQ(toNarrow(storedEntryName(L"G\\1\\3")), "G/1/3");
    EXPECT_EQ(toNarrow(storedEntryName(L"already/fine")), "already/fine");
    EXPECT_EQ(toNarrow(storedEntryName(L"\\lead")), "/lead");
}
