#include "tests/tools/SampleTree.h"

#include <algorithm>
#include <filesystem>

#include "tests/support/TestFiles.h"

namespace kisttest {

namespace {

constexpr char kFolder[] = "My Folder";
constexpr char kApostrophe[] = "it's here.txt";
constexpr char kNonAscii[] = "caf\xC3\xA9 \xC3\xBCn\xC3\xAF.bin";
constexpr char kTabbed[] = "tab\tname.txt";

} // namespace

SampleTree::SampleTree(const std::string& root)
    : folder(root)
{
    using testsupport::patternBytes;
    files = {
        {std::string(kFolder) + "/empty.txt", ""},
        {std::string(kFolder) + "/notes one.txt", patternBytes(3000)},
        {std::string(kFolder) + "/sub/deep.bin", patternBytes(4001)},
        {kNonAscii, patternBytes(70000)},
        {kApostrophe, patternBytes(1990)},
        {kTabbed, "tabbed"},
    };
    for (const auto& [path, bytes] : files)
        testsupport::writeFile(folder + "/" + path, bytes);
    std::filesystem::create_directories(folder + "/" + kFolder + "/emptydir");
    std::sort(files.begin(), files.end());
}

std::vector<std::string> SampleTree::topLevelNames()
{
    return {kFolder, kApostrophe, kNonAscii, kTabbed};
}

std::vector<std::string> SampleTree::topLevelPaths() const
{
    std::vector<std::string> paths;
    for (const std::string& name : topLevelNames())
        paths.push_back(folder + "/" + name);
    return paths;
}

std::vector<std::string> SampleTree::listing()
{
    // Case-blind: "CAF..." < "IT'S..." < "MY FOLDER" < "TAB...".
    return {
        std::string(kNonAscii) + "\tf\t70000",
        std::string(kApostrophe) + "\tf\t1990",
        std::string(kFolder) + "\td\t7001",
        "tab\\tname.txt\tf\t6",
    };
}

Snapshot snapshotOf(const std::string& folder)
{
    return testsupport::snapshotTree(folder);
}

Snapshot onlyEntries(const Snapshot& expected, const std::vector<std::string>& names)
{
    Snapshot subset;
    for (const auto& file : expected) {
        const std::string top = file.first.substr(0, file.first.find('/'));
        if (std::find(names.begin(), names.end(), top) != names.end())
            subset.push_back(file);
    }
    return subset;
}

} // namespace kisttest
