#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/ProtectedFile.h"
#include "engine/Strings.h"

class AppConfig;
class CryptoContext;
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
    // Opens the database and reads settings and top-level entries.
    void openVault();
    // Closes the database and forgets what was read from it.
    void closeVault();
    // Reads top-level rows that are not in rootEntries yet.
    void loadNewTopLevelEntries();
    // Another program may have changed the user vault's password since its
    // settings were read. After a change the settings and entries (whose
    // keys were re-sealed) are read again and the engine is logged off, so
    // no key is ever sealed or opened with the password that went out of
    // force. True when the password changed.
    bool followPasswordChange();
    // The secure hash of a text, with the engine's own context.
    [[nodiscard]] std::string hashOf(const std::string& text);

    // The clock that reset codes are checked against (seconds since 1970).
    static int64_t (*clock)();

    std::unique_ptr<Database> database;
    std::map<nocase_wstring, std::unique_ptr<ProtectedFile>> rootEntries;
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
    // Held by VaultLock while an operation changes bodies or rows.
    int lockDepth = 0;
    int lockDescriptor = -1;

private:
    void readSettings();
    void checkFormatVersion() const;
    void loadEntries();
    // The entry whose top-level row the query is on, or null when its rows
    // cannot be read.
    std::unique_ptr<ProtectedFile> loadTopLevelEntry(Query& query);
};

// True when the second dot-separated component of version matches the
// vault format's ("31").
[[nodiscard]] bool isCompatibleFormatVersion(const std::string& version);
