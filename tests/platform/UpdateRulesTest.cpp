#include "engine/platform/UpdateRules.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(UpdateAnswer, ReadsVersionThenDownload)
{
    struct Case {
        const char* answer;
        bool hasVersion;
        const char* version;
        const char* download;
    };
    const Case cases[] = {
        {"Version::0.31.020;Download::http://example.org/k.exe;", true, "0.31.020", "http://example.org/k.exe"},
        {"Version::0.32.000;Download::x;Notes::ignored;", true, "0.32.000", "x"},
        {"Version::1.0;", true, "1.0", ""},
        {"Version::1.0", true, "1.0", ""},
        {"Version::2.0.0;Download::http://d/x\r\n", true, "2.0.0", "http://d/x"},
        {"garbage before Version::0.40.000;Download::http://d;", true, "0.40.000", "http://d"},
        // Download must follow the version field.
        {"Download::http://early;Version::0.40.000;", true, "0.40.000", ""},
        {"Version::;Download::x;", true, "", "x"},
        {"", false, "", ""},
        {"<html>Not found</html>", false, "", ""},
        {"version::0.40.000;", false, "", ""},
    };
    for (const auto& c : cases) {
        const UpdateAnswer parsed = parseUpdateAnswer(c.answer);
        EXPECT_EQ(parsed.hasVersion, c.hasVersion) << c.answer;
        EXPECT_EQ(parsed.version, c.version) << c.answer;
        EXPECT_EQ(parsed.download, c.download) << c.answer;
    }
    // The answer is text: it ends at a NUL byte.
    EXPECT_FALSE(parseUpdateAnswer(std::string("\0Version::9.0.0;", 16)).hasVersion);
}

TEST(CompareVersions, ComparesEachPartAsText)
{
    struct Case {
        const char* current;
        const char* server;
        int expected;
    };
    const Case cases[] = {
        {"0.31.018", "0.31.020", 1},
        {"0.31.018", "0.32.000", 2},
        {"0.31.018", "1.0", 3},     // server parts 1, 0, 0
        {"0.31.018", "0.4.0", 2},   // "31" < "4" as text
        {"0.31.018", "", 0},
        {"0.31.018", "0.31.018", 0},
        {"0.31.018", "0.31.017", 0},
        {"0.31.018", "0.30.999", 1}, // a smaller second part does not stop the third comparison
        {"1.31.018", "0.32.000", 2}, // nor does a smaller first part
        {"0.31.018", "2", 3},       // server parts 2, 2, 2
        {"3.5.0", "3", 1},          // server 3, 3, 3: only the third part, "0" < "3", is smaller
        {"3.5.0", "3.5", 1},        // server parts 3, 5, 5
        {"0.31", "0.31.1", 1},      // our missing third part is "0"
        {"0.31", "0.31.0", 0},
        {"0.31.018", "0.31.0180", 1}, // a longer text with the same start is larger
        {"0.31.018", "0.31.01", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(compareVersions(c.current, c.server), c.expected) << c.current << " vs " << c.server;
}

TEST(UpdateRequest, ObjectNameCarriesTheValues)
{
    EXPECT_EQ(updateObjectName("/update.php", "john.doe@example.com", "0.31.018", "001A2B3C4D5E"),
              "/update.php?key=&email=john.doe@example.com&version=0.31.018&mac=001A2B3C4D5E");
    // Characters a query would misread are encoded, so "+" stays a plus and
    // "&" cannot add a parameter.
    EXPECT_EQ(updateObjectName("/update.php", "a+b&version=9@x y.org", "0.31.018", "ABC"),
              "/update.php?key=&email=a%2Bb%26version%3D9@x%20y.org&version=0.31.018&mac=ABC");
    EXPECT_EQ(updateObjectName("/u", "j\xc3\xb6rg@x", "1", "M"), "/u?key=&email=j%C3%B6rg@x&version=1&mac=M");
}

TEST(UpdateRequest, ServerAddressComesFromTheEnvironment)
{
    unsetenv("KORVELIN_UPDATE_SERVER");
    const std::string builtIn = updateServerAddress();
    EXPECT_FALSE(builtIn.empty());
    setenv("KORVELIN_UPDATE_SERVER", "127.0.0.1:8080", 1);
    EXPECT_EQ(updateServerAddress(), "127.0.0.1:8080");
    setenv("KORVELIN_UPDATE_SERVER", "", 1);
    EXPECT_EQ(updateServerAddress(), builtIn);
    unsetenv("KORVELIN_UPDATE_SERVER");
}
