#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/PackageRows.h"

// The rows fuzzer's input: package rows as text, one row a line, the fields
// of a row separated by tabs in this order:
//
//   unique_name parent display_name raw_file_name current_path current_root
//   target_path target_root is_directory is_encrypted size pending_transform
//
// Missing fields are empty or 0; a field ends at a NUL byte, as a column read
// as text does; numbers are read as far as they are digits
// (an optional leading "-", saturating); a flag is set unless it is empty or
// "0". Any bytes parse, so every input the fuzzer makes is a set of rows.
namespace rowtext {

std::vector<PackageRow> parse(const uint8_t* data, std::size_t size);
std::string format(const std::vector<PackageRow>& rows);

} // namespace rowtext
