#pragma once

#include <string>
#include <vector>

// The fuzzer's private scratch area. <root>/sandbox holds the home folders,
// $TMPDIR, the input file and the folder entries are taken out to; <root>
// holds nothing else. Anything that appears in <root>, at the sandbox's top
// level, in $TMPDIR after a reader is gone, or in the home folders outside
// the vault escaped from where the engine may write.
class FuzzSandbox {
public:
    // Creates the area (below $KIST_FUZZ_TMP, else /tmp) and points HOME,
    // XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_DESKTOP_DIR and TMPDIR into it.
    void create();
    // Removes the whole area.
    void remove();

    const std::string& inputFolder() const { return input; }
    const std::string& outputFolder() const { return output; }

    // Records the home folders as they are now (settings store, restore
    // folder and vault in place) as what every later check compares with.
    void takeBaseline();

    // Describes everything that appeared where nothing may, or "" when all is
    // as it should be; then empties the input and output folders.
    [[nodiscard]] std::string checkAndReset();

    // Deletes the user's vault, so the next Kist(true) starts a new one.
    void removeVault();

private:
    [[nodiscard]] std::vector<std::string> homeLayout() const;

    std::string root;
    std::string sandbox;
    std::string home;
    std::string vault;
    std::string temporary;
    std::string input;
    std::string output;
    std::vector<std::string> baseline;
};
