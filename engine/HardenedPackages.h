#pragma once

#include <string>
#include <vector>

#include "engine/Strings.h"

class ProtectedFile;
class VaultEngine;

// Packages and backups of hardened vaults.
//
// A package for other people stays in the standard format (its reader may be
// an older build): the bodies of a hardened vault are decrypted into a
// private folder and written through a temporary standard vault.
//
// A hardened package (every backup of a hardened vault) is a zip of two
// stored entries (docs/security.md):
//   "vault.header"  a header as a hardened vault's, its master key wrapped
//                   under the package password's Argon2id key;
//   "package"       a hardened body (key: HKDF of the master key, label
//                   "KORVELIN Safehold package body key 1") whose plain bytes
//                   are a package of the standard layout: its database keyed
//                   with the fixed passphrase, its bodies hardened bodies
//                   copied byte for byte, their keys wrapped under the
//                   package's master key.
namespace HardenedPackages {

inline constexpr wchar_t kSealedEntry[] = L"package";

// A backup (".kzipbkp") of a hardened vault is always hardened: a backup
// must not weaken what it copies.
[[nodiscard]] bool isBackupName(const nocase_wstring& destination);

// Whether the file is a hardened package.
[[nodiscard]] bool isHardenedPackage(const nocase_wstring& path);

// Writes the records of the engine to destination: a hardened package when
// hardened is true (the bodies of a hardened vault copied as they are, those
// of a standard one encrypted again), else a standard one (the engine must
// then be a hardened vault: a standard one writes through PackageWriter).
void exportFiles(VaultEngine& engine, const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                 const std::string& packagePassword, bool hardened);

// The plain files of an entry of engine (in its own format) under folder,
// by the names they were added with; returns the path of the top.
nocase_wstring decryptTree(VaultEngine& engine, const ProtectedFile& record, const nocase_wstring& folder);

inline constexpr const char* kPackageBodyLabel = "KORVELIN Safehold package body key 1";

} // namespace HardenedPackages
