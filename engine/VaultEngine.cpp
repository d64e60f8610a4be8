#include "engine/VaultEngine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/BodyFormat.h"
#include "engine/ExceptionModule.h"
#include "engine/HardenedVault.h"
#include "engine/Hardening.h"
#include "engine/PackageReading.h"
#include "engine/SecretText.h"
#include "engine/VaultLock.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/FileKey.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/Folders.h"
#include "engine/platform/PathUtil.h"
#include "engine/platform/UpdateCheck.h"
#include "engine/storage/AppConfig.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

namespace {

constexpr wchar_t kVaultSubFolder[] = L"kist";
constexpr wchar_t kRestoreSubFolder[] = L"KORVELIN Restored Files";
constexpr wchar_t kSettingsSubFolder[] = L"Brannoway/Korvelin";
constexpr wchar_t kCryptoContainer[] = L"Korvelin";
constexpr wchar_t kPasswordMessage[] = L"Cannot use this feature until you enter your password.";
constexpr wchar_t kCannotInitialize[] = L"Cannot initialize configuration database.";
constexpr int64_t kResetCodeLifetime = 86400;

int64_t systemClock()
{
    return static_cast<int64_t>(std::time(nullptr));
}

// The second dot-separated component of a version text; a text without a
// full stop is its own second component.
std::string secondComponent(const std::string& version)
{
    const auto dot = version.find('.');
    if (dot == std::string::npos)
        return version;
    const auto next = version.find('.', dot + 1);
    return version.substr(dot + 1, next == std::string::npos ? std::string::npos : next - dot - 1);
}

// Reads "WORD NUMBER" as a reset code's opened text holds it: a run of
// non-blank characters, blanks, then a signed decimal that fits 32 bits.
bool parseResetText(const std::string& text, std::string& word, int64_t& number)
{
    std::size_t i = 0;
    const auto blank = [&](std::size_t k) { return std::isspace(static_cast<unsigned char>(text[k])) != 0; };
    while (i < text.size() && blank(i))
        ++i;
    const std::size_t wordStart = i;
    while (i < text.size() && !blank(i) && i - wordStart < 4095)
        ++i;
    word = text.substr(wordStart, i - wordStart);
    if (word.empty())
        return false;
    while (i < text.size() && blank(i))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1)
            return false;
    }
    if (digits == 0)
        return false;
    number = negative ? -value : value;
    return number >= INT32_MIN && number <= INT32_MAX;
}

} // namespace

int64_t (*VaultEngine::clock)() = systemClock;

bool isCompatibleFormatVersion(const std::string& version)
{
    return secondComponent(version) == secondComponent(vaultschema::vaultFormatVersion);
}

VaultEngine::VaultEngine(EngineKind vaultKind)
    : kind(vaultKind)
{
    if (kind == EngineKind::UserVault) {
        vaultFolder = resolveFolder(LocalAppDataKind, kVaultSubFolder);
        // Every add of a folder and every take-out makes a folder here and
        // fills it with new files. Kept beside the vault folder, such a
        // folder draws its inodes from where the operations before it freed
        // thousands, and ext4 without a journal will not reuse an inode
        // freed in the last minutes: it searches past every such inode
        // again for each new file.
        (void)spreadNewFolders(vaultFolder);
    } else
        vaultFolder = resolveFolder(TempKind, uniqueId());
    workFolder = vaultFolder;
    removeVaultFolder = kind == EngineKind::TemporaryVault;
    try {
        restoreFolder = resolveFolder(DesktopKind, kRestoreSubFolder);
        contentReady = true;
        openVault();
    } catch (...) {
        closeVault();
        if (removeVaultFolder)
            deletePath(vaultFolder);
        throw;
    }
}

VaultEngine::VaultEngine(const nocase_wstring& packageFile)
    : kind(EngineKind::PackageReader)
{
    PackageReading::open(*this, packageFile);
}

VaultEngine::~VaultEngine()
{
    wipeText(password);
    closeVault();
    if (unpackFolderLock >= 0)
        ::close(unpackFolderLock);
    try {
        if (removeWorkFolder && !workFolder.empty())
            deletePath(workFolder);
        if (removeVaultFolder && !vaultFolder.empty())
            deletePath(vaultFolder);
    } catch (const ExceptionModule&) {
        // A folder that cannot be removed stays behind; nothing to report to.
    }
}

void VaultEngine::openVault()
{
    crypto = std::make_unique<CryptoContext>(kCryptoContainer);
    // The vault database's page key is derived, and the file read, while
    // the settings open.
    if (kind == EngineKind::UserVault && !HardenedVault::isHardened(vaultFolder)) {
        const std::string databaseFile = toNarrow(joinPath(vaultFolder, toWide(vaultschema::databaseFileName)));
        databaseReadAhead = Database::readAhead(databaseFile);
        databaseKeyAhead = Database::deriveKeyAhead(databaseFile);
    }
    appConfig = std::make_unique<AppConfig>(resolveFolder(LocalAppDataKind, kSettingsSubFolder));
    wipeText(password);
    // Just read: written only when another version ran last, since every
    // write is a transaction with its flushes.
    if (appConfig->get("Version") != vaultschema::programVersion)
        appConfig->set("Version", vaultschema::programVersion);
    loggedIn = false;
    opened = false;
    knownChangeCount.clear();
    knownLogPosition = -1;

    if (kind == EngineKind::UserVault) {
        // A hardening cut short is finished or undone before anything is read.
        Hardening::settleInterrupted(*this);
        // Nothing of a hardened vault is readable before its password is
        // known: its database opens at the login.
        if (HardenedVault::isHardened(vaultFolder)) {
            hardened = HardenedVault::read(vaultFolder);
            return;
        }
    }
    openDatabase();
}

void VaultEngine::openDatabase()
{
    const nocase_wstring databaseFile = joinPath(vaultFolder, toWide(vaultschema::databaseFileName));
    // A named pipe would hold SQLite, a folder fail it with no reason given.
    struct stat info {};
    if (::stat(toNarrow(databaseFile).c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        throw ExceptionModule(L"The vault database is not a file: " + databaseFile, L"");
    if (hardened && isMissingOrEmpty(toNarrow(databaseFile)))
        throw ExceptionModule(L"The hardened vault's database is missing: " + databaseFile, L"");
    database = std::make_unique<Database>(toNarrow(databaseFile), hardened ? hardened->databaseKey().text() : "");
    if (Database::Connection* connection = database->grabdb())
        database->release(connection);
    else
        throw ExceptionModule(L"Cannot connect to configuration database.", L"");

    // A new user vault is created under the lock: programs started at once
    // never both create it, and none reads the file before it is whole
    // (SQLCipher would give an empty file a key salt of its own).
    if (kind == EngineKind::UserVault && isMissingOrEmpty(database->fileName())) {
        VaultLock lock(*this);
        database = std::make_unique<Database>(database->fileName());
        createOrReadSettings();
    } else {
        createOrReadSettings();
    }
    checkFormatVersion();
    upgradeAndTidy();
    if (kind != EngineKind::UserVault) {
        try {
            loadEntries();
        } catch (const ExceptionModule& error) {
            throw ExceptionModule(kCannotInitialize, toWide(error.getCause()));
        }
    }
    opened = true;
}

void VaultEngine::createOrReadSettings()
{
    Query query(*database);
    // Only a database without tables is new. A read that fails on an
    // existing one must not reset the vault's password and records.
    if (hasNoTables(query))
        createVaultSchema(query, hashOf(""), settings);
    else
        readSettings();
}

void VaultEngine::upgradeAndTidy()
{
    // Only once the vault is known to be ours: a vault that is refused stays
    // on disk byte for byte as it was.
    Query query(*database);
    query.execute(vaultschema::createParentIndex);
    if (kind != EngineKind::UserVault)
        return;
    query.execute(vaultschema::createNameIndex);
    const Tidiness found = tidiness(query);
    if (!found.schema) {
        try {
            Transaction transaction(query);
            query.executeOrThrow(vaultschema::insertChangeCount, "count the vault's changes");
            for (const char* trigger : vaultschema::createChangeCountTriggers)
                query.executeOrThrow(trigger, "count the vault's changes");
            query.executeOrThrow(vaultschema::createChangeLog, "log the vault's changes");
            for (const char* trigger : vaultschema::createChangeLogTriggers)
                query.executeOrThrow(trigger, "log the vault's changes");
            query.executeOrThrow(formatStatement(vaultschema::trimChangeLog, vaultschema::changeLogKept),
                                 "trim the vault's change log");
            transaction.commit();
        } catch (const ExceptionModule&) {
            // A vault on a read-only disk still opens for reading: nothing can
            // change it, so there is nothing to count. Anywhere else the failure
            // stands.
            if (isWritable(database->fileName()))
                throw;
            return;
        }
    } else if (!found.logShort) {
        // Only under the lock, and only when it is free at once: a program
        // changing the vault must never find the database locked by one that
        // is merely opening it. A later opening trims what this one leaves.
        try {
            VaultLock lock(*this, 0);
            Transaction transaction(query);
            query.executeOrThrow(formatStatement(vaultschema::trimChangeLog, vaultschema::changeLogKept),
                                 "trim the vault's change log");
            transaction.commit();
        } catch (const ExceptionModule&) {
            // In use, or on a read-only disk: the log is only longer.
        }
    }
    // Compacting rewrites the whole file: only when a quarter of it is
    // free, and only under the lock when it is free at once.
    if (query.get_result(vaultschema::selectFreePages) && query.fetch_row()) {
        const int64_t freePages = query.getbigint("free");
        const int64_t pages = query.getbigint("pages");
        query.free_result();
        if (freePages > 64 && freePages * 4 >= pages) {
            try {
                VaultLock lock(*this, 0);
                query.execute(vaultschema::vacuum);
            } catch (const ExceptionModule&) {
                // In use by another program: another opening compacts it.
            }
        }
    } else {
        query.free_result();
    }
}

VaultEngine::Tidiness VaultEngine::tidiness(Query& query)
{
    // Read before anything is written: an opening that finds the vault as it
    // leaves it takes no write lock, so it never waits for another program's
    // transaction, and a vault on a read-only disk opens without a failed write.
    Tidiness found;
    if (query.get_result(formatStatement(vaultschema::selectIsTidy, vaultschema::changeLogTrimmedFrom))) {
        if (query.fetch_row()) {
            found.schema = query.getbigint("tidy") == 1;
            found.logShort = query.getbigint("short") == 1;
        }
        query.free_result();
    }
    return found;
}

bool VaultEngine::isWritable(const std::string& file)
{
    return ::access(file.c_str(), W_OK) == 0;
}

bool VaultEngine::isMissingOrEmpty(const std::string& file)
{
    const nocase_wstring path = toWide(file);
    return !pathExists(path) || pathInfo(path).size == 0;
}

void VaultEngine::readSettings()
{
    settings.clear();
    if (!readStoredSettings(settings) || settings.empty())
        throw ExceptionModule(kCannotInitialize, L"");
}

bool VaultEngine::readStoredSettings(std::map<std::string, std::string>& stored)
{
    Query query(*database);
    if (!query.get_result(vaultschema::selectKistConfig))
        return false;
    while (query.fetch_row())
        stored[query.getstr("nv_name")] = query.getstr("nv_value");
    const bool complete = query.lastError().empty();
    query.free_result();
    return complete;
}

void VaultEngine::checkFormatVersion() const
{
    const auto found = settings.find(vaultschema::versionSetting);
    const std::string version = found == settings.end() ? std::string() : found->second;
    // A user vault of another format is refused too: it stays exactly as it
    // is on disk until a build that knows its format opens it.
    if (!isCompatibleFormatVersion(version))
        throw ExceptionModule(L"The KORVELIN file you are opening has been created with an incompatible version "
                              L"of KORVELIN Writer:" + toWide(version),
                              L"");
}

void VaultEngine::loadEntries()
{
    // The rows and the change count come from one snapshot, so the copy is
    // known to match that count (read with or without the lock).
    LoadedEntries loaded = loadAllEntries(*database, vaultFolder, &knownChangeCount, &knownLogPosition);
    rootEntries = std::move(loaded.entries);
    unreadableEntries = std::move(loaded.unreadable);
    entriesLoaded = true;
}

std::map<nocase_wstring, std::unique_ptr<ProtectedFile>>& VaultEngine::entries()
{
    // A package reader still locked has no database yet, and no entries.
    if (!entriesLoaded && database)
        loadEntries();
    return rootEntries;
}

bool VaultEngine::hasEntryNamed(const nocase_wstring& name)
{
    if (entriesLoaded || !database)
        return rootEntries.count(name) != 0;
    Query query(*database);
    if (!query.get_result(formatStatement(vaultschema::selectTopLevelNamed, sqlText(toNarrow(name)).c_str())))
        throw ExceptionModule(L"Cannot read the vault database.", toWide(query.lastError()));
    const bool found = query.fetch_row();
    const std::string error = query.lastError();
    query.free_result();
    if (!error.empty())
        throw ExceptionModule(L"Cannot read the vault database.", toWide(error));
    return found;
}

void VaultEngine::keepEntry(const nocase_wstring& name, std::unique_ptr<ProtectedFile> entry)
{
    if (entriesLoaded)
        rootEntries[name] = std::move(entry);
}

std::string VaultEngine::storedChangeCount()
{
    if (kind != EngineKind::UserVault || !database)
        return {};
    Query query(*database);
    std::string count;
    if (query.get_result(vaultschema::selectChangeCount)) {
        if (query.fetch_row())
            count = query.getstr("nv_value");
        query.free_result();
    }
    if (!query.lastError().empty())
        throw ExceptionModule(L"Cannot read the vault database.", toWide(query.lastError()));
    return count;
}

void VaultEngine::loadNewTopLevelEntries()
{
    if (lockDepth > 0)
        (void)refreshUnderLock();
}

bool VaultEngine::followPasswordChange()
{
    if (kind != EngineKind::UserVault || !database)
        return false;
    std::map<std::string, std::string> stored;
    // Unreadable now: the operation that follows fails on the database itself.
    if (!readStoredSettings(stored))
        return false;
    const auto current = stored.find(vaultschema::currentPasswordSetting);
    if (current == stored.end() || current->second == settings[vaultschema::currentPasswordSetting])
        return false;
    settings = std::move(stored);
    wipeText(password);
    loggedIn = false;
    if (!entriesLoaded)
        return true;
    try {
        loadEntries();
    } catch (const ExceptionModule&) {
        // Read again at their next use.
        rootEntries.clear();
        entriesLoaded = false;
        knownChangeCount.clear();
        knownLogPosition = -1;
    }
    return true;
}

bool VaultEngine::followHardening()
{
    if (kind != EngineKind::UserVault || hardened)
        return false;
    Hardening::settleInterrupted(*this);
    if (!HardenedVault::isHardened(vaultFolder))
        return false;
    closeVault();
    hardened = HardenedVault::read(vaultFolder);
    wipeText(password);
    loggedIn = false;
    return true;
}

bool VaultEngine::refreshUnderLock()
{
    if (followHardening())
        return true;
    if (kind != EngineKind::UserVault || !database || !opened)
        return false;
    std::map<std::string, std::string> stored;
    if (!readStoredSettings(stored) || stored.empty())
        throw ExceptionModule(L"Cannot read the vault database.", L"");
    const auto current = stored.find(vaultschema::currentPasswordSetting);
    const bool passwordChanged =
        current != stored.end() && current->second != settings[vaultschema::currentPasswordSetting];
    const auto count = stored.find(vaultschema::changeCountSetting);
    const std::string storedCount = count == stored.end() ? std::string() : count->second;
    settings = std::move(stored);
    if (passwordChanged) {
        wipeText(password);
        loggedIn = false;
    }
    if (!entriesLoaded) {
        // Nothing in memory to doubt: the first use reads the rows as they are.
        entriesDistrusted = false;
        return passwordChanged;
    }
    const bool mustReadAll = passwordChanged || entriesDistrusted || storedCount.empty();
    bool fresh = !mustReadAll && storedCount == knownChangeCount;
    if (!fresh && !mustReadAll) {
        try {
            fresh = refreshChangedEntries(storedCount);
        } catch (const ExceptionModule&) {
            fresh = false; // read them all, which reports what cannot be read
        }
    }
    if (!fresh)
        loadEntries();
    entriesDistrusted = false;
    return passwordChanged;
}

bool VaultEngine::refreshChangedEntries(const std::string& storedCount)
{
    if (knownLogPosition < 0 || knownChangeCount.empty())
        return false;
    Query query(*database);
    // The log and the rows it names come from one snapshot.
    Transaction snapshot(query);
    int64_t first = 0;
    int64_t rows = 0;
    if (!query.get_result(formatStatement(vaultschema::selectLogExtent, static_cast<long long>(knownLogPosition))))
        return false;
    if (query.fetch_row()) {
        first = query.getbigint("first");
        rows = query.getbigint("rows");
    }
    query.free_result();
    // A position trimmed away, or more changes than entries: read them all.
    if (rows == 0 || first != knownLogPosition + 1 || static_cast<std::size_t>(rows) > 4 * rootEntries.size() + 64)
        return false;

    struct Named {
        int64_t entryId;
        std::wstring identity;
        std::wstring parent;
        nocase_wstring displayName;
    };
    std::vector<Named> logged;
    if (!query.get_result(formatStatement(vaultschema::selectLogSince, static_cast<long long>(knownLogPosition))))
        return false;
    while (query.fetch_row()) {
        const nocase_wstring identity = toWide(query.getstr("unique_name"));
        const nocase_wstring parent = toWide(query.getstr("parent"));
        logged.push_back({query.getbigint("entry_id"), std::wstring(identity.data(), identity.size()),
                          std::wstring(parent.data(), parent.size()),
                          toWide(query.getstr("display_name"))});
    }
    const std::string logError = query.lastError();
    query.free_result();
    if (!logError.empty())
        return false;

    // The top-level entry each changed row belongs to: a row without a
    // parent is one; otherwise its parents are followed up in the rows as
    // they are now. A row whose parent is gone belongs to an entry whose
    // own removal is in the log as well.
    std::map<std::wstring, std::wstring> topOf;
    const auto topFor = [&](std::wstring identity) -> std::wstring {
        std::vector<std::wstring> path;
        for (int depth = 0; depth < 4096; ++depth) {
            const auto known = topOf.find(identity);
            if (known != topOf.end()) {
                identity = known->second;
                break;
            }
            path.push_back(identity);
            const nocase_wstring wide(identity.data(), identity.size());
            if (!query.get_result(formatStatement(vaultschema::selectParentOf, sqlText(toNarrow(wide)).c_str())))
                throw ExceptionModule(L"Cannot read the vault database.", toWide(query.lastError()));
            const bool found = query.fetch_row();
            const nocase_wstring parent = found ? toWide(query.getstr("parent")) : nocase_wstring();
            query.free_result();
            if (!found) {
                identity.clear();
                break;
            }
            if (parent.empty())
                break;
            identity.assign(parent.data(), parent.size());
        }
        for (const std::wstring& step : path)
            topOf[step] = identity;
        return identity;
    };
    struct ChangedTop {
        std::vector<nocase_wstring> names; // the display names the log knew it by
        int64_t entryId = -1;              // its row id, when the log names its own row
    };
    std::map<std::wstring, ChangedTop> changedTops; // by identity
    for (const Named& row : logged) {
        const std::wstring top = row.parent.empty() ? row.identity : topFor(row.parent);
        if (top.empty())
            continue;
        ChangedTop& changed = changedTops[top];
        if (row.parent.empty()) {
            changed.names.push_back(row.displayName);
            changed.entryId = row.entryId;
        }
    }

    std::vector<int64_t> entryIds;
    std::vector<nocase_wstring> identities;
    for (const auto& [top, changed] : changedTops) {
        if (changed.entryId > 0)
            entryIds.push_back(changed.entryId);
        else
            identities.emplace_back(top.data(), top.size());
    }
    LoadedEntries reread = loadEntriesByIdentity(query, entryIds, identities, vaultFolder);
    const int64_t position = readLogPosition(query);
    snapshot.commit();

    // The entries named go, under every name the log knew them by, and come
    // back as the rows say now (not at all when their rows are gone).
    for (const auto& [top, changed] : changedTops) {
        const nocase_wstring identity(top.data(), top.size());
        for (const nocase_wstring& name : changed.names) {
            const auto found = rootEntries.find(name);
            if (found != rootEntries.end() && sameExactly(found->second->unique_name, identity))
                rootEntries.erase(found);
        }
    }
    for (auto& [name, entry] : reread.entries) {
        unreadableEntries.erase(std::remove(unreadableEntries.begin(), unreadableEntries.end(), name),
                                unreadableEntries.end());
        rootEntries[name] = std::move(entry);
    }
    for (const nocase_wstring& name : reread.unreadable)
        if (std::find(unreadableEntries.begin(), unreadableEntries.end(), name) == unreadableEntries.end())
            unreadableEntries.push_back(name);
    knownChangeCount = storedCount;
    knownLogPosition = position;
    return true;
}

void VaultEngine::leaveLock(bool trusted) noexcept
{
    const bool keep = trusted && !entriesDistrusted && opened && database && entriesLoaded;
    knownChangeCount.clear();
    knownLogPosition = -1;
    entriesDistrusted = false;
    if (!keep)
        return;
    try {
        Query query(*database);
        Transaction snapshot(query);
        if (query.get_result(vaultschema::selectChangeCount)) {
            if (query.fetch_row())
                knownChangeCount = query.getstr("nv_value");
            query.free_result();
        }
        knownLogPosition = readLogPosition(query);
        snapshot.commit();
    } catch (...) {
        knownChangeCount.clear();
        knownLogPosition = -1;
    }
}

void VaultEngine::distrustEntries()
{
    entriesDistrusted = true;
}

void VaultEngine::closeVault()
{
    opened = false;
    knownChangeCount.clear();
    knownLogPosition = -1;
    rootEntries.clear();
    entriesLoaded = false;
    unreadableEntries.clear();
    database.reset();
    settings.clear();
}

std::string VaultEngine::hashOf(const std::string& text)
{
    return crypto->secureHash(text);
}

void VaultEngine::requireWritable() const
{
    if (kind == EngineKind::UserVault && !isWritable(toNarrow(vaultFolder)))
        throw ExceptionModule(L"The vault cannot be changed: its folder cannot be written to: " + vaultFolder,
                              systemErrorText(errno));
}

void VaultEngine::requireLogin() const
{
    if (!loggedIn)
        throw ExceptionModule(kPasswordMessage, L"");
}

bool VaultEngine::login(const std::string& candidate)
{
    if (kind == EngineKind::PackageReader && !contentReady)
        return PackageReading::loginLocked(*this, candidate);
    if (hardened || followHardening())
        return loginHardened(candidate);
    (void)followPasswordChange();
    if (hashOf(candidate) == settings[vaultschema::currentPasswordSetting]) {
        wipeText(password);
        password = candidate;
        loggedIn = true;
        return true;
    }
    loggedIn = false;
    return false;
}

void VaultEngine::logoff()
{
    wipeText(password);
    loggedIn = false;
    if (hardened)
        hardened->lock();
}

const BodyFormat& VaultEngine::bodyFormat() const
{
    return hardened ? hardened->bodyFormat() : BodyFormat::standard();
}

void VaultEngine::adoptHardened(std::unique_ptr<HardenedVault> vault, const std::string& vaultPassword)
{
    closeVault();
    hardened = std::move(vault);
    openDatabase();
    wipeText(password);
    password = vaultPassword;
    loggedIn = true;
}

bool VaultEngine::loginHardened(const std::string& candidate)
{
    // A vault's header is read again: another program may have changed the
    // password. A package's header lives in memory only.
    std::unique_ptr<HardenedVault> current = kind == EngineKind::UserVault ? HardenedVault::read(vaultFolder) : nullptr;
    if (!(current ? *current : *hardened).unlock(candidate)) {
        loggedIn = false;
        return false;
    }
    if (current)
        hardened = std::move(current);
    if (!database) {
        try {
            openDatabase();
        } catch (...) {
            hardened->lock();
            closeVault();
            throw;
        }
    }
    wipeText(password);
    password = candidate;
    loggedIn = true;
    return true;
}

void VaultEngine::setHardenedPassword(const std::string& newPassword, const std::string& oldPassword)
{
    if (kind != EngineKind::UserVault)
        throw ExceptionModule(L"The password of a hardened package cannot be changed.", L"");
    VaultLock lock(*this);
    std::unique_ptr<HardenedVault> current = HardenedVault::read(vaultFolder);
    // Both ways are always tried, so a wrong password and a wrong recovery
    // key take the same time (one key derivation).
    const bool byPassword = current->unlock(oldPassword);
    const bool byRecoveryKey = !byPassword && current->unlockWithRecoveryKey(oldPassword);
    if (!byPassword && !byRecoveryKey) {
        if (checkResetCode(oldPassword))
            throw ExceptionModule(L"A hardened vault does not accept reset codes: use its recovery key "
                                  L"in place of the old password.",
                                  L"");
        throw ExceptionModule(L"Incorrect old password.", L"");
    }
    if (newPassword.empty())
        throw ExceptionModule(L"A hardened vault needs a password: it cannot be empty.", L"");
    current->changePassword(newPassword);
    current->writeHeader(joinPath(vaultFolder, HardenedVault::headerFileName));
    hardened = std::move(current);
    if (!database)
        openDatabase();
    wipeText(password);
    password = newPassword;
    loggedIn = true;
}

void VaultEngine::setPassword(const std::string& newPassword, const std::string& oldPassword)
{
    if (hardened || followHardening()) {
        setHardenedPassword(newPassword, oldPassword);
        return;
    }
    VaultLock lock(*this);
    const std::string stored = settings[vaultschema::currentPasswordSetting];
    if (hashOf(oldPassword) != stored && !checkResetCode(oldPassword))
        throw ExceptionModule(L"Incorrect old password.", L"");
    const std::string newHash = hashOf(newPassword);

    // Every sealed key is re-sealed, those of rows this engine never loaded
    // (added by another process, or skipped at loading) included; the rows
    // win over the in-memory copies they stand for.
    std::map<nocase_wstring, std::string> sealed;
    for (auto& [name, entry] : rootEntries)
        entry->forEach([&](ProtectedFile& record) {
            if (!record.cipher.empty())
                sealed[record.unique_name] = record.cipher;
        });
    Query query(*database);
    if (!query.get_result(vaultschema::selectSealedKeys)) {
        if (!query.lastError().empty())
            throw ExceptionModule(L"Cannot read the vault's keys.", toWide(query.lastError()));
    } else {
        while (query.fetch_row())
            sealed[toWide(query.getstr("unique_name"))] = query.getstr("cipher");
        query.free_result();
    }

    std::map<nocase_wstring, std::string> resealed;
    {
        Transaction transaction(query);
        for (const auto& [uniqueName, cipher] : sealed) {
            ProtectedFile row;
            row.unique_name = uniqueName;
            row.display_name = uniqueName;
            row.cipher = sealFileKey(newPassword, openFileKey(oldPassword, cipher));
            row.storeCipher(query);
            resealed[uniqueName] = row.cipher;
        }
        query.executeOrThrow(formatStatement(vaultschema::updateCurrentPassword, sqlText(newHash).c_str()),
                             "store the new password");
        query.executeOrThrow(formatStatement(vaultschema::updatePreviousPassword, sqlText(stored).c_str()),
                             "store the previous password");
        transaction.commit();
    }

    for (auto& [name, entry] : rootEntries)
        entry->forEach([&](ProtectedFile& record) {
            const auto found = resealed.find(record.unique_name);
            if (found != resealed.end())
                record.cipher = found->second;
        });
    settings[vaultschema::currentPasswordSetting] = newHash;
    settings[vaultschema::previousPasswordSetting] = stored;
    wipeText(password);
    password = newPassword;
    loggedIn = true;
}

bool VaultEngine::checkResetCode(const std::string& code)
{
    try {
        CryptoContext context(kCryptoContainer);
        const std::string opened = context.decryptText(kFixedKeyText, code);
        std::string word;
        int64_t issued = 0;
        if (!parseResetText(opened, word, issued))
            return false;
        if (context.secureHash(word) != appConfig->get("Email"))
            return false;
        return clock() - issued <= kResetCodeLifetime;
    } catch (const ExceptionModule&) {
        return false;
    }
}

bool VaultEngine::isEmptyPassword()
{
    (void)followPasswordChange();
    if (settings[vaultschema::currentPasswordSetting] != hashOf(""))
        return false;
    loggedIn = true;
    return true;
}

void VaultEngine::setEmail(const std::string& email)
{
    requireLogin();
    if (email.empty())
        throw ExceptionModule(L"Please enter your e-mail address: it cannot be empty.", L"");
    appConfig->set("Email", hashOf(email));
    appConfig->set("EmailD", email);
}

bool VaultEngine::isEmptyEmail()
{
    return appConfig->get("EmailD").empty();
}

void VaultEngine::persistConfig(const std::string& name, const std::string& value)
{
    appConfig->set(name, value);
}

std::string VaultEngine::retrieveConfig(const std::string& name)
{
    return appConfig->get(name);
}

bool VaultEngine::isFirstLaunch() const
{
    return appConfig->isFirstLaunch();
}

int VaultEngine::isUpgradeAvailable()
{
    try {
        UpdateCheck update;
        const int result = update.check(appConfig->get("EmailD"), vaultschema::programVersion);
        if (result >= 1)
            upgradeUrl = update.downloadAddress();
        return result;
    } catch (...) {
        return 0; // the update check never stands in the way of the program
    }
}
