#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Small file helpers for tests: write and read whole files, and build the
// deterministic byte patterns the known-answer vectors use.
namespace testsupport {

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool exists(const std::string& path);

// Bytes i % 251 for i = 0 .. length-1.
std::string patternBytes(std::size_t length);

// Lower-case hex SHA-1 computed with the system's sha1sum, independent of
// the engine's own hashing.
std::string sha1OfFile(const std::string& path);

// Every regular file below root as "relative/path" -> contents.
std::vector<std::pair<std::string, std::string>> snapshotTree(const std::string& root);

// The lines of text, without their line ends; a final line end starts no
// line of its own.
std::vector<std::string> splitLines(const std::string& text);

} // namespace testsupport
