#include "engine/ExceptionModule.h"
#include "engine/Strings.h"

#include <gtest/gtest.h>

#include <map>

TEST(NocaseWstring, AsciiLettersCompareWithoutCase)
{
    EXPECT_EQ(nocase_wstring(L"/Data/a.TXT"), nocase_wstring(L"/data/A.txt"));
    EXPECT_NE(nocase_wstring(L"\u00e9"), nocase_wstring(L"\u00c9")); // only a-z fold
    EXPECT_NE(nocase_wstring(L"report.doc"), nocase_wstring(L"report.docx"));
    EXPECT_NE(nocase_wstring(L"report.zip").find(L".ZIP"), nocase_wstring::npos);

    std::map<nocase_wstring, int> names{{L"b", 1}, {L"A", 2}};
    EXPECT_EQ(names.begin()->first, nocase_wstring(L"A"));
    EXPECT_EQ(names.count(L"B"), 1u);
    // '_' (0x5F) lies between 'Z' and 'a': ordering must fold before comparing.
    EXPECT_LT(nocase_wstring(L"a"), nocase_wstring(L"_"));
}

TEST(NocaseWstring, ExactComparisonIsCaseSensitive)
{
    EXPECT_TRUE(sameExactly(L"/a/b", L"/a/b"));
    EXPECT_FALSE(sameExactly(L"/a/B", L"/a/b"));
}

TEST(NarrowWide, Utf8RoundTripsAndDecodes)
{
    const std::string text = "John's notes \xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80.txt";
    const nocase_wstring wide = toWide(text);
    EXPECT_EQ(wide, nocase_wstring(L"John's notes \u00e9t\u00e9 \u65e5\u672c \U0001F600.txt"));
    EXPECT_EQ(toNarrow(wide), text);
}

TEST(NarrowWide, EveryByteStringRoundTrips)
{
    const std::string samples[] = {
        std::string("\xff\xfe", 2),
        std::string("a\x80" "b", 3),
        std::string("\xc3", 1),               // truncated sequence
        std::string("\xc0\xaf", 2),           // overlong '/'
        std::string("\xed\xa0\x80", 3),       // encoded surrogate
        std::string("\xed\xb2\x80", 3),       // encoded U+DC80 must not alias an escape
        std::string("\xf4\x90\x80\x80", 4),   // past U+10FFFF
    };
    for (const std::string& s : samples)
        EXPECT_EQ(toNarrow(toWide(s)), s);

    std::string all;
    for (int b = 1; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(toNarrow(toWide(all)), all);
    EXPECT_EQ(toWide(std::string("\xff", 1)), nocase_wstring(1, static_cast<wchar_t>(0xDCFF)));
}

TEST(ExceptionModule, CarriesMessageAndCauseThroughCopies)
{
    const ExceptionModule original(L"No such file found in the store: r\u00e9sum\u00e9", L"");
    const ExceptionModule copy(original);
    EXPECT_EQ(copy.getMessage(), "No such file found in the store: r\xc3\xa9sum\xc3\xa9");
    EXPECT_EQ(copy.getCause(), "");

    try {
        throw ExceptionModule(L"Failed to create /x", systemErrorText(2));
    } catch (const std::exception& e) {
        const auto* module = dynamic_cast<const ExceptionModule*>(&e);
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(module->getMessage(), "Failed to create /x");
        EXPECT_EQ(module->getCause(), "No such file or directory");
    }
}
