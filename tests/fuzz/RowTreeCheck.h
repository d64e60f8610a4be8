#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/PackageRows.h"

class ProtectedFile;

// What the rows fuzzer holds accepted rows to, worked out apart from the
// engine's own checks: the rows form a tree that loads without surprises.
namespace rowtreecheck {

// Describes the first way the rows fail to form a sound tree, or "" when they
// do: identities unique and non-empty, no parent chain coming back to itself,
// no two top-level entries whose names differ only in letter case, no two
// rows of one folder sharing a display or file name, single-component names,
// body paths inside the package, non-negative sizes and nothing under way.
std::string unsoundness(const std::vector<PackageRow>& rows);

// Describes how the loaded trees differ from the rows, or "" when every row
// below a top-level row (through folders) was loaded exactly once, under its
// parent, with its own names.
std::string loadingDifference(const std::vector<PackageRow>& rows,
                              const std::vector<std::unique_ptr<ProtectedFile>>& loaded);

} // namespace rowtreecheck
