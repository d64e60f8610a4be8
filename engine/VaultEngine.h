#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/ProtectedFile.h"
#include "engine/Strings.h"

class AppConfig;
class BodyFormat;
class CryptoContext;
class HardenedVault;
class Database;
class KistProgress;

enum class EngineKind : int32_t {
    PackageReader = 0,  // reads a package or zip file unpacked into a private folder
    TemporaryVault = 1, // a throw-away vault in a private folder (composing packages)
    UserVault = 2,      // the user's own vault
};

// The text that seals reset codes, and the placeholder password of a
// package reader whose archive is still locked.
inline constexpr char kFixedKeyText[] = "tavqermo57kzlw";

// One vault: its folder and database, the settings and top-level entries it
// holds, and the password state. The operations on its content live in
// VaultOperations, PackageWriter and PackageReading.
class VaultEngine {
public:
    // A user vault (UserVault) or a temporary vault (TemporaryVault).
    explicit VaultEngine(EngineKind vaultKind);
    // A reader of the package or zip file at packageFile.
    explicit VaultEngine(const nocase_wstring& packageFile);
    ~VaultEngine();
    VaultEngine(const VaultEngine&) = delete;
    VaultEngine& operator=(const VaultEngine&) = delete;

    [[nodiscard]] bool login(const std::string& candidate);
    void logoff();
    void setPassword(const std::string& newPassword, const std::string& oldPassword);
    [[nodiscard]] bool checkResetCode(const std::string& code);
    [[nodiscard]] bool isEmptyPassword();
    void setEmail(const std::string& email);
    [[nodiscard]] bool isEmptyEmail();
    void persistConfig(const std::string& name, const std::string& value);
    [[nodiscard]] std::string retrieveConfig(const std::string& name);
    [[nodiscard]] bool isFirstLaunch() const;
    [[nodiscard]] int isUpgradeAvailable();

    // Throws the password message unless the engine is logged in.
    void requireLogin() const;
    // Throws unless the user vault's folder can be written to (a vault on a
    // read-only disk can be read, never changed).
    void requireWritable() const;
    // Opens the database and reads the settings; the top-level entries of
    // package readers and temporary vaults too. A user vault's entries are
    // read at their first use (see entries()). A new user vault is created
    // under the vault lock.
    void openVault();
    // Closes the database and forgets what was read from it.
    void closeVault();
    // Kept for callers written before VaultLock refreshed the entries: under
    // the lock they are already fresh, and this only makes sure of it.
    void loadNewTopLevelEntries();
    // Another program may have changed the user vault's password since its
    // settings were read. After a change the settings and entries (whose
    // keys were re-sealed) are read again and the engine is logged off, so
    // no key is ever sealed or opened with the password that went out of
    // force. True when the password changed.
    bool followPasswordChange();

    // ---- The cache rule, applied by VaultLock only ----
    // The lock was just taken: reads the settings and, when the entries
    // were read and another program changed any row since (the change count
    // differs, or this engine's copy is distrusted), reads again what the
    // change log names, or every entry. True when the password changed (see
    // followPasswordChange).
    bool refreshUnderLock();
    // The lock is about to go: trusted when the in-memory entries match the
    // rows (the operation ended normally); the change count is remembered,
    // so the next lock reads nothing unless another program changed a row.
    void leaveLock(bool trusted) noexcept;
    // An operation caught a failure half-way: its in-memory copy may differ
    // from the rows, so the next lock reads them again.
    void distrustEntries();

    // ---- The top-level entries ----
    // Read from the rows at the first call after the opening (a copy to
    // show; VaultLock reads again what another program changed). Adding
    // needs only the names, so a command that adds to a large vault never
    // reads its rows. Throws when the rows cannot be read; none without a
    // database (a package reader still locked).
    std::map<nocase_wstring, std::unique_ptr<ProtectedFile>>& entries();
    // Whether a top-level entry has this name (a-z/A-Z alike): from the
    // entries once read, otherwise from the rows (exact under the lock).
    [[nodiscard]] bool hasEntryNamed(const nocase_wstring& name);
    // Keeps an entry whose rows were just committed, when the entries are
    // read; otherwise the rows hold it and a later reading finds it.
    void keepEntry(const nocase_wstring& name, std::unique_ptr<ProtectedFile> entry);
    // Whether the top-level entries have been read since the opening.
    [[nodiscard]] bool entriesAreRead() const { return entriesLoaded; }
    // The change count the rows hold now (one small read; empty for vaults
    // without one): another program's change to any row moves it.
    [[nodiscard]] std::string storedChangeCount();

    // ---- The hardened format (HardenedVault) ----
    // How this vault's file keys and bodies are kept.
    [[nodiscard]] const BodyFormat& bodyFormat() const;
    [[nodiscard]] bool isHardened() const { return hardened != nullptr; }
    // The hardened vault's keys; null for a vault of the standard format.
    // Its database opens at the first login, with a key from the master key.
    std::unique_ptr<HardenedVault> hardened;
    // Goes on with the vault just hardened under this password (its keys
    // unlocked), without deriving them again.
    void adoptHardened(std::unique_ptr<HardenedVault> vault, const std::string& vaultPassword);

    // The secure hash of a text, with the engine's own context.
    [[nodiscard]] std::string hashOf(const std::string& text);

    // The clock that reset codes are checked against (seconds since 1970).
    static int64_t (*clock)();

    std::unique_ptr<Database> database;
    // The page key of the vault database, derived beside the settings' own.
    std::future<void> databaseKeyAhead;
    // The vault database read into the page cache beside them.
    std::future<void> databaseReadAhead;
    std::map<std::string, std::string> settings;
    bool loggedIn = false;
    std::unique_ptr<CryptoContext> crypto;
    std::unique_ptr<AppConfig> appConfig;
    nocase_wstring vaultFolder;
    nocase_wstring restoreFolder;
    nocase_wstring workFolder;
    bool removeWorkFolder = false;
    bool removeVaultFolder = false;
    std::string password;
    nocase_wstring packagePath;
    bool contentReady = false;
    std::string upgradeUrl;
    EngineKind kind = EngineKind::UserVault;
    KistProgress* progressObserver = nullptr;
    // A package reader holds a lock on its unpacking folder while it lives.
    int unpackFolderLock = -1;
    // Held by VaultLock while an operation changes bodies or rows.
    int lockDepth = 0;
    int lockDescriptor = -1;
    // Top-level entries left out of the last reading (their rows cannot be read).
    std::vector<nocase_wstring> unreadableEntries;
    // Top-level entries whose interrupted change the last recovery of the
    // listing could not finish, each with the reason; they stay pending.
    std::vector<std::pair<nocase_wstring, nocase_wstring>> unsettledEntries;

private:
    // Opens the database (keyed for a hardened vault) and reads or creates
    // its settings.
    void openDatabase();
    [[nodiscard]] bool loginHardened(const std::string& candidate);
    void setHardenedPassword(const std::string& newPassword, const std::string& oldPassword);
    // Another program hardened this vault since it was opened: what was read
    // is forgotten and the next login opens it hardened. True when it was.
    bool followHardening();
    void createOrReadSettings();
    [[nodiscard]] static bool isMissingOrEmpty(const std::string& file);
    [[nodiscard]] static bool isWritable(const std::string& file);
    // Whether the vault's change count, log and triggers are in place, and
    // whether its log holds no more rows than it keeps.
    struct Tidiness {
        bool schema = false;
        bool logShort = false;
    };
    [[nodiscard]] static Tidiness tidiness(Query& query);
    void readSettings();
    void checkFormatVersion() const;
    // User vaults: the change count and its triggers, the parent index, and
    // compaction when much of the file is free. Runs under the lock.
    void upgradeAndTidy();
    void loadEntries();
    // Reads again only the entries the change log names since the known
    // position. False when it cannot tell (no log, a position trimmed away,
    // more changes than a full reading would cost): the caller reads all.
    bool refreshChangedEntries(const std::string& storedCount);
    // The stored settings, or none when they cannot be read.
    [[nodiscard]] bool readStoredSettings(std::map<std::string, std::string>& stored);

    std::map<nocase_wstring, std::unique_ptr<ProtectedFile>> rootEntries;
    bool entriesLoaded = false;
    bool opened = false;
    bool entriesDistrusted = false;
    // The change count the in-memory entries match; empty: unknown.
    std::string knownChangeCount;
    // The change log position the in-memory entries match; -1: unknown.
    int64_t knownLogPosition = -1;
};

// True when the second dot-separated component of version matches the
// vault format's ("31").
[[nodiscard]] bool isCompatibleFormatVersion(const std::string& version);
