#pragma once

#include <set>
#include <string>

// The zip fuzzer's scratch folder, and the watch over everything around it.
//
//   <root>/up1/up2/up3/up4/base   the base folder entries are extracted into
//   <root>/bait                   a folder outside the base, always empty
//   <base>/planted -> <root>/bait a link already in the base folder
//
// The base sits four folders deep so that an entry escaping it by a few
// parent references still lands inside <root>, where the check sees it. An
// extraction that follows the planted link fills the bait folder.
class ExtractionScratch {
public:
    // Creates the area below $KIST_FUZZ_TMP, else $TMPDIR, else /tmp.
    void create();
    // Removes the whole area.
    void remove();

    const std::string& baseFolder() const { return base; }

    // Describes every file, folder or link that is not where an extraction may
    // put it, or "" when there is none; then empties the base folder again,
    // planted link included. A file named like the extraction's temporary
    // files is one left behind unless the archive has an entry of that name
    // (entryNames: the reported names, relative to the base folder).
    [[nodiscard]] std::string checkAndReset(const std::set<std::string>& entryNames = {});

private:
    void plant() const;

    std::string root;
    std::string base;
    std::string bait;
};
