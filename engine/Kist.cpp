#include "engine/Kist.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "engine/AddBatch.h"
#include "engine/HardenedPackages.h"
#include "engine/PackageReading.h"
#include "engine/PackageWriter.h"
#include "engine/SecretText.h"
#include "engine/VaultCheck.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "engine/VaultOperations.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/Folders.h"
#include "engine/storage/Database.h"
#include "engine/storage/VaultSchema.h"

namespace {

std::vector<nocase_wstring> toWideNames(const std::vector<std::string>& names)
{
    std::vector<nocase_wstring> wide;
    wide.reserve(names.size());
    for (const std::string& name : names)
        wide.push_back(toWide(name));
    return wide;
}

void appendContents(const ProtectedFile& folder, int depth, std::vector<KistEntryContent>& out)
{
    std::vector<const ProtectedFile*> children;
    for (const auto& child : folder.children)
        children.push_back(child.get());
    std::stable_sort(children.begin(), children.end(), [](const ProtectedFile* a, const ProtectedFile* b) {
        return a->raw_file_name < b->raw_file_name;
    });
    for (const ProtectedFile* child : children) {
        out.push_back({toNarrow(child->raw_file_name), depth, child->is_directory,
                       child->size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(child->size)});
        if (child->is_directory)
            appendContents(*child, depth + 1, out);
    }
}

} // namespace

Kist::Kist(bool userVault)
    : engine(new VaultEngine(userVault ? EngineKind::UserVault : EngineKind::TemporaryVault))
{
}

Kist::Kist(std::string packagePath)
    : engine(new VaultEngine(toWide(packagePath)))
{
}

Kist::Kist(const char* packagePath)
    : Kist(std::string(packagePath ? packagePath : ""))
{
}

Kist::~Kist()
{
    delete engine;
    wipeText(cachedPassword);
}

// Passwords arrive by value; each copy is wiped when the call ends, however it ends.
bool Kist::login(std::string password)
{
    const SecretText candidate(std::move(password));
    const bool accepted = engine->login(candidate);
    if (accepted) {
        wipeText(cachedPassword);
        cachedPassword = candidate;
    }
    return accepted;
}

void Kist::logoff()
{
    wipeText(cachedPassword);
    engine->logoff();
}

void Kist::setPassword(std::string newPassword, std::string oldPassword)
{
    const SecretText newText(std::move(newPassword));
    const SecretText oldText(std::move(oldPassword));
    engine->setPassword(newText, oldText);
    wipeText(cachedPassword);
    cachedPassword = newText;
}

void Kist::setEmail(std::string email)
{
    engine->setEmail(email);
}

bool Kist::isEmptyPassword()
{
    return engine->isEmptyPassword();
}

bool Kist::isEmptyEmail()
{
    return engine->isEmptyEmail();
}

bool Kist::isFirstLaunch()
{
    return engine->isFirstLaunch();
}

void Kist::addFile(std::string path, KistFile* record, bool in_memory_only)
{
    KistFile scratch;
    VaultOperations(*engine).addFile(toWide(path), record ? *record : scratch, in_memory_only);
}

void Kist::addFiles(const std::vector<std::string>& paths, const std::function<void(const KistAddOutcome&)>& onEach)
{
    std::vector<nocase_wstring> widePaths;
    widePaths.reserve(paths.size());
    for (const std::string& path : paths)
        widePaths.push_back(toWide(path));
    AddBatch(*engine).run(widePaths, [&](const AddBatch::Outcome& outcome) {
        KistAddOutcome told;
        told.path = toNarrow(outcome.path);
        if (outcome.entry != nullptr) {
            told.state = KistAddOutcome::State::Added;
            told.name = toNarrow(outcome.entry->display_name);
            told.is_directory = outcome.entry->is_directory;
            told.size = outcome.entry->size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(outcome.entry->size);
        } else if (outcome.error != nullptr) {
            told.state = KistAddOutcome::State::Failed;
            told.message = outcome.error->getMessage();
            told.cause = outcome.error->getCause();
        }
        onEach(told);
    });
}

void Kist::removeFile(std::string name, std::string folder)
{
    takeOutPath = toNarrow(VaultOperations(*engine).removeFile(toWide(name), toWide(folder)));
}

void Kist::listFiles(std::vector<KistFile*>& out)
{
    VaultOperations(*engine).listFiles(out);
}

std::vector<KistEntryContent> Kist::listEntryContents(std::string name)
{
    engine->requireLogin();
    const nocase_wstring wide = toWide(name);
    const auto contentsOf = [&wide](const std::map<nocase_wstring, std::unique_ptr<ProtectedFile>>& entries)
        -> std::optional<std::vector<KistEntryContent>> {
        const auto found = entries.find(wide);
        if (found == entries.end())
            return std::nullopt;
        std::vector<KistEntryContent> contents;
        appendContents(*found->second, 1, contents);
        return contents;
    };
    if (auto contents = contentsOf(engine->entries()))
        return *contents;
    // Memory is only a cache: an entry another program added since the
    // entries were read is in the rows, which the lock reads again.
    if (engine->kind == EngineKind::UserVault && engine->lockDepth == 0) {
        VaultLock lock(*engine);
        if (auto contents = contentsOf(engine->entries()))
            return *contents;
    }
    throw ExceptionModule(L"No such file found in the store: " + wide, L"");
}

std::string Kist::changeCount()
{
    return engine->storedChangeCount();
}

std::string Kist::databasePath() const
{
    return engine->database ? engine->database->fileName() : std::string();
}

void Kist::exportFiles(std::string destination, std::vector<std::string> names, std::string packagePassword)
{
    const SecretText password(std::move(packagePassword));
    // The bodies are read until the package is complete, so no other
    // process may take them out meanwhile.
    VaultLock lock(*engine);
    const std::vector<ProtectedFile*> records = VaultOperations(*engine).selectByNames(toWideNames(names));
    if (engine->isHardened() || hardenedPackages) {
        HardenedPackages::exportFiles(*engine, records, toWide(destination), password,
                                      hardenedPackages
                                          || (engine->isHardened() && HardenedPackages::isBackupName(toWide(destination))));
        return;
    }
    PackageWriter::exportFiles(records, toWide(destination), cachedPassword, password,
                               engine->progressObserver, *engine->database);
}

void Kist::copyFilesToVault(std::vector<std::string> names, std::string vaultPassword)
{
    const SecretText password(std::move(vaultPassword));
    foundInVault = 0;
    foundInVault = PackageReading::copyFilesToVault(*engine, toWideNames(names), password, cachedPassword);
}

std::string Kist::generateMasterKey(std::string)
{
    return {};
}

void Kist::persistConfig(std::string name, std::string value)
{
    engine->persistConfig(name, value);
}

std::string Kist::retrieveConfig(std::string name)
{
    return engine->retrieveConfig(name);
}

std::string Kist::getFolder(KorvelinDir which)
{
    switch (which) {
    case DesktopDir:
        return toNarrow(resolveFolder(DesktopKind));
    case RestoredFilesDir:
        return toNarrow(resolveFolder(DesktopKind, L"KORVELIN Restored Files"));
    case DropboxDir:
        return toNarrow(resolveFolder(DropboxKind));
    case TempDir:
        return toNarrow(resolveFolder(TempKind, uniqueId()));
    }
    throw ExceptionModule(L"Internal error. Invalid folder request.", L"");
}

std::string Kist::getDeviceIdentity()
{
    return toNarrow(::getDeviceIdentity());
}

int Kist::isUpgradeAvailable()
{
    return engine->isUpgradeAvailable();
}

std::string Kist::getUpgradeDownloadUrl()
{
    return engine->upgradeUrl;
}

void Kist::setProgressObserver(KistProgress* observer)
{
    engine->progressObserver = observer;
}

std::string Kist::lastTakeOutPath() const
{
    return takeOutPath;
}

KistCheckReport Kist::checkVault()
{
    return VaultCheck(*engine).run();
}

KistCheckReport Kist::checkVault(bool addMissingTags)
{
    return VaultCheck(*engine, addMissingTags).run();
}

std::vector<std::string> Kist::unreadableEntries() const
{
    std::vector<std::string> names;
    (void)engine->entries();
    for (const nocase_wstring& name : engine->unreadableEntries)
        names.push_back(toNarrow(name));
    return names;
}

std::vector<std::pair<std::string, std::string>> Kist::unfinishedEntries() const
{
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [name, reason] : engine->unsettledEntries)
        entries.emplace_back(toNarrow(name), toNarrow(reason));
    return entries;
}

std::size_t Kist::lastCopyFoundInVault() const
{
    return foundInVault;
}

std::string Kist::version()
{
    return vaultschema::programVersion;
}
