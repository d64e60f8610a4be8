#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/PackageRows.h"
#include "engine/Strings.h"

class KistProgress;
class ProtectedFile;
class BodyFormat;
class VaultEngine;

// The package-reader kind of engine: a package (.kzip, .kzipbkp) or a plain
// zip file unpacked into a private folder, opened like a small vault, and
// copied into the user's vault. What comes from a package is hostile until
// proven otherwise: every row must stay inside the unpacking folder.
class PackageReading {
public:
    // Builds the reader for packageFile on a fresh engine.
    static void open(VaultEngine& engine, const nocase_wstring& packageFile);

    // The login of a reader whose archive needs a password: unpacks with it.
    [[nodiscard]] static bool loginLocked(VaultEngine& engine, const std::string& candidate);

    // Copies the named entries of the reader into the user's vault, whose
    // password is vaultPassword; their keys are sealed under packagePassword.
    // Every body that has an integrity tag in the package is checked against
    // it first; an entry with an altered body is not copied, the others are,
    // and then the copy fails naming it ("damaged: NAME"). Returns how many
    // of them were in the vault already (left as they are).
    static std::size_t copyFilesToVault(VaultEngine& reader, const std::vector<nocase_wstring>& names,
                                        const std::string& vaultPassword, const std::string& packagePassword);

    struct CopyOutcome {
        std::size_t foundInVault = 0; // in the vault already, left as they are
        nocase_wstring damaged;       // "damaged: NAME" lines of the entries left out
    };
    // Copies records of a package into a vault engine that is logged in,
    // re-sealing their keys from packagePassword to the vault's password.
    // packageTags: the integrity tags of the package's bodies by the package
    // row's identity. Each entry's tagged bodies are checked against them
    // before it is copied; a hardened vault takes the keys of a hardened
    // package's format (packageFormat) wrapped anew under its own key; an entry with an altered body is left out, and
    // each copy keeps its body's tag. A stop asked through the progress
    // observer, between entries or inside one, leaves the entry under way
    // out of the vault and throws the cancelled message.
    static CopyOutcome copyIntoVault(VaultEngine& vault, const std::vector<ProtectedFile*>& records,
                                     const std::string& packagePassword,
                                     const std::map<std::string, std::string>& packageTags = {},
                                     const BodyFormat* packageFormat = nullptr);

    // Deletes the unpacking folders that programs now gone left in the
    // temporary folder (a killed import, a crash).
    static void removeLeftoverUnpackFolders();

    // Every row of an unpacked package's database as it stands, trusting
    // nothing; none when the rows cannot be read.
    [[nodiscard]] static std::optional<std::vector<PackageRow>> readRows(const std::string& databaseFile);

    // A plain zip file is told by its own extension, ".zip" in any case.
    [[nodiscard]] static bool isPlainZip(const nocase_wstring& path);

private:
    static void unpack(VaultEngine& engine);
    static void openUnpacked(VaultEngine& engine);
    static void validateRows(VaultEngine& engine);
    static void importPlainZip(VaultEngine& engine);
    // The login of a hardened package: unseals it with the password.
    [[nodiscard]] static bool loginHardenedPackage(VaultEngine& engine, const std::string& candidate);
    // Entries of a package whose bodies are in another format than the
    // vault's: decrypted into a private folder and protected like dropped
    // files. Returns how many were in the vault already.
    static std::size_t copyAcrossFormats(VaultEngine& reader, VaultEngine& vault,
                                         const std::vector<ProtectedFile*>& records);
    // Before such a copy: checks the tagged bodies of records, leaves out
    // the entries with an altered one and returns their "damaged: NAME"
    // lines; checked receives the tags that matched.
    static nocase_wstring checkTagsBeforeConverting(VaultEngine& reader, std::vector<ProtectedFile*>& records,
                                                    const std::string& packagePassword,
                                                    std::map<std::string, std::string>& checked);
};
