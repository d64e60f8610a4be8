#pragma once

#include <string>

class FuzzSandbox;

// The fuzzer's first byte chooses how the rest is opened; see
// PackageReaderFuzzer.cpp.
namespace fuzzmode {
inline constexpr unsigned char kPlainZip = 0x01;     // named .zip, else .kzip
inline constexpr unsigned char kCopyToVault = 0x02;  // also copy every entry into the vault
} // namespace fuzzmode

// The passwords the fuzzer tries, and those of the seeds it writes.
inline constexpr char kSeedPackagePassword[] = "pkg pw";
inline constexpr char kSeedZipPassword[] = "zip pw";
inline constexpr char kSeedVaultPassword[] = "vault pw";

// Exports a package of a small tree (a folder with files, an empty file and
// an empty folder, and a single file) from the user's vault into work and
// returns its path. Works inside the sandbox.
std::string exportSeedPackage(const std::string& work);

// Writes seed inputs into folder: a package exported by the engine (opened
// as .kzip, as .zip and copied into the vault) and a plain zip written by the
// engine's zip facade, each behind its mode byte. Works inside the sandbox
// and leaves its vault empty.
void writeSeeds(const std::string& folder, FuzzSandbox& sandbox);
