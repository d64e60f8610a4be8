#pragma once

#include <string>
#include <vector>

#include "engine/Strings.h"

class KistProgress;
class ProtectedFile;

// Writes chosen vault entries into a package: a zip container holding a small
// vault database (keys sealed under the package password) and the bodies,
// still encrypted, named by their vault paths. The package appears at its
// destination only once it is complete.
class PackageWriter {
public:
    // records: top-level records whose keys are sealed under sealingText.
    static void exportFiles(const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                            const std::string& sealingText, const std::string& packagePassword,
                            KistProgress* observer);
};
