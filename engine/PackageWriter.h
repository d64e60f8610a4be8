#pragma once

#include <string>
#include <vector>

#include "engine/Strings.h"

class Database;
class KistProgress;
class ProtectedFile;

// Writes chosen vault entries into a package: a zip container holding a small
// vault database (keys sealed under the package password) and the bodies,
// still encrypted, named by their vault paths. The package appears at its
// destination only once it is complete.
//
// The integrity tags of the bodies travel in the package's database the same
// way, and each body is checked against its tag while the package is written.
// An entry with an altered body is left out: the package is written with the
// others, and the export then fails naming it ("damaged: NAME"). A file that
// was already at the destination (an older backup, which may hold the body
// intact) is then kept as it was instead.
class PackageWriter {
public:
    // records: top-level records whose keys are sealed under sealingText;
    // their rows and integrity tags are in sourceDatabase.
    static void exportFiles(const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                            const std::string& sealingText, const std::string& packagePassword,
                            KistProgress* observer, Database& sourceDatabase);
};
