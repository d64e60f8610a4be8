#pragma once

// The one public header of KistCore: the vault engine as the desktop program
// and the kist tool see it.

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/ExceptionModule.h"
#include "engine/KistCheckReport.h"
#include "engine/KistEntryContent.h"
#include "engine/KistAddOutcome.h"
#include "engine/KistExport.h"
#include "engine/KistFile.h"
#include "engine/KistProgress.h"
#include "engine/KistVaultInfo.h"
#include "engine/KorvelinDir.h"

class VaultEngine;

// The engine facade. Paths and names are UTF-8; passwords, e-mail addresses
// and setting names and values are passed on byte for byte. Every failure is
// an ExceptionModule thrown by the engine and passed on unchanged.
class KIST_EXPORT Kist {
public:
    // true: the user's vault; false: a temporary vault, deleted with the object.
    explicit Kist(bool userVault);
    // A reader of the package or zip file at packagePath.
    explicit Kist(std::string packagePath);
    // A string literal is a path, never a bool.
    explicit Kist(const char* packagePath);
    ~Kist();

    bool login(std::string password);
    void logoff();
    void setPassword(std::string newPassword, std::string oldPassword);
    void setEmail(std::string email);
    bool isEmptyPassword();
    bool isEmptyEmail();
    bool isFirstLaunch();
    void addFile(std::string path, KistFile* record, bool in_memory_only);
    // Adds each path as a top-level entry of its own, as addFile does, in
    // batches that share their database transactions and disk flushes (a
    // batch's bodies are flushed once before any of its sources is deleted).
    // onEach hears every path's outcome in the given order, each batch's as
    // soon as it is done. A path that fails does not stop the others; the
    // progress observer's stop request is heard between batches.
    void addFiles(const std::vector<std::string>& paths, const std::function<void(const KistAddOutcome&)>& onEach);
    void removeFile(std::string name, std::string folder);
    void listFiles(std::vector<KistFile*>& out);
    // What lies inside the named top-level entry (nothing for a file), under
    // the names the user added, from the records the last listing read.
    // Changes nothing.
    // An entry that another program added since then is looked up in the
    // rows (under the vault lock) before the name is refused.
    std::vector<KistEntryContent> listEntryContents(std::string name);
    // The vault's change count as the rows hold it now: every change to an
    // entry's records, by any program, moves it. One small read without the
    // lock; empty for temporary vaults and packages.
    std::string changeCount();
    // The vault database file (watched for other programs' changes); empty
    // when the engine has none (a package still locked).
    std::string databasePath() const;
    void exportFiles(std::string destination, std::vector<std::string> names, std::string packagePassword);
    void copyFilesToVault(std::vector<std::string> names, std::string vaultPassword);
    std::string generateMasterKey(std::string text);
    void persistConfig(std::string name, std::string value);
    std::string retrieveConfig(std::string name);
    static std::string getFolder(KorvelinDir which);
    static std::string getDeviceIdentity();
    int isUpgradeAvailable();
    std::string getUpgradeDownloadUrl();

    // Optional: an observer of adding, taking out, exporting and copying.
    // The caller keeps it alive while it is set; nullptr removes it.
    void setProgressObserver(KistProgress* observer);
    // Where the last removeFile put its entry (a free name in the folder).
    std::string lastTakeOutPath() const;

    // The vault check (kist check): under the vault lock, reads every row,
    // decrypts every body into a private scratch file deleted at once, and
    // reports what is not whole (see KistCheckReport). Changes nothing;
    // needs the login.
    KistCheckReport checkVault();
    // The same, and with addMissingTags the bodies that have no integrity
    // tag and decrypt cleanly get one (the only change it makes).
    KistCheckReport checkVault(bool addMissingTags);
    // Top-level entries that the last reading of the rows left out because
    // their rows cannot be read; listFiles does not show them.
    std::vector<std::string> unreadableEntries() const;

    // Top-level entries whose interrupted change the last listFiles could
    // not finish (they stay as they are and are tried again), each as its
    // name and the reason.
    std::vector<std::pair<std::string, std::string>> unfinishedEntries() const;
    // How many of the entries the last copyFilesToVault was given were in
    // the vault already (copied before) and were left as they are.
    std::size_t lastCopyFoundInVault() const;
    // The program's version text.
    static std::string version();

    // ---- Hardened vaults (docs/security.md) ----
    // Makes the user's vault hardened: a new one without entries at once,
    // one with entries by re-encrypting every body (journaled: cut short, it
    // is either the old vault or the new one, whole; the progress observer
    // sees it and may cancel it until the switch). The password must open
    // the vault. Returns the recovery key, to be shown to the user once.
    std::string harden(std::string password);
    // The vault's format and, when hardened, its key derivation's parameters.
    // Needs no login.
    KistVaultInfo vaultInfo();
    // exportFiles writes hardened packages (which only this program and its
    // successors read) while on; off by default, when packages are written
    // in the standard format, except backups (".kzipbkp") of a hardened
    // vault, which are always hardened.
    void setHardenedPackages(bool on) { hardenedPackages = on; }

private:
    Kist(const Kist& other);
    Kist& operator=(const Kist& other);

    VaultEngine* engine;
    std::string cachedPassword;
    std::string takeOutPath;
    std::size_t foundInVault = 0;
    bool hardenedPackages = false;
};
