#include "engine/storage/AppConfig.h"

#include "engine/ExceptionModule.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

const wchar_t* const cannotInitialize = L"Cannot initialize configuration database.";

// Programs started at once must not read the settings file while another one
// is creating it: SQLCipher would give an empty file a key salt of its own
// and then refuse the file the other program wrote. An exclusive lock on the
// settings folder is held while the store is opened, read and set up.
class FolderLock {
public:
    explicit FolderLock(const nocase_wstring& folder)
        : descriptor(::open(toNarrow(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (descriptor >= 0 && ::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
                // Without the lock the store is opened as before.
                ::close(descriptor);
                descriptor = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~FolderLock()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int descriptor;
};

} // namespace

AppConfig::AppConfig(const nocase_wstring& folder)
    : path(folder + L"/" + toWide(vaultschema::configFileName))
{
    // Windows marked the folders and the file hidden and system; on Linux
    // the leading dot hides the file and nothing else is needed.
    try {
        const FolderLock lock(folder);
        database = std::make_unique<Database>(toNarrow(path));
        Database::Connection* connection = database->grabdb();
        if (connection == nullptr)
            throw ExceptionModule(L"Cannot connect to configuration database.", L"");
        database->release(connection);

        query = std::make_unique<Query>(*database);
        readAll();
        if (values.empty()) {
            firstLaunch = true;
            createTable();
        }
    } catch (const ExceptionModule&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        throw ExceptionModule(cannotInitialize, L"");
    }
}

AppConfig::~AppConfig()
{
    // The query gives its connection back before the database closes.
    query.reset();
    database.reset();
}

void AppConfig::readAll()
{
    // A missing table is the first launch; it cannot be told apart here from
    // a file that is not a database, so createTable decides.
    if (!query->get_result(vaultschema::selectConfigItems))
        return;
    while (query->fetch_row())
        values[query->getstr("nv_name")] = query->getstr("nv_value");
    query->free_result();
}

void AppConfig::createTable()
{
    for (const char* sql : {vaultschema::createConfigItems, vaultschema::createConfigItemsIndex,
                            vaultschema::createConfigItemsTrigger}) {
        if (!query->execute(sql))
            throw ExceptionModule(cannotInitialize, toWide(query->lastError()));
    }
}

std::string AppConfig::get(const std::string& name)
{
    const auto found = values.find(name);
    return found == values.end() ? std::string() : found->second;
}

void AppConfig::set(const std::string& name, const std::string& value)
{
    const std::string quotedName = sqlText(name);
    const std::string quotedValue = sqlText(value);

    if (!query->get_result(formatStatement(vaultschema::selectConfigItem, quotedName.c_str())))
        throw ExceptionModule(cannotInitialize, toWide(query->lastError()));
    const bool exists = query->fetch_row();
    query->free_result();

    const std::string update = formatStatement(vaultschema::updateConfigItem, quotedValue.c_str(), quotedName.c_str());
    bool written = exists
        ? query->execute(update)
        : query->execute(formatStatement(vaultschema::insertConfigItem, quotedName.c_str(), quotedValue.c_str()));
    // Another program started at the same time may have inserted the name
    // between the read and the insert: then the value is updated.
    if (!written && !exists)
        written = query->execute(update);
    if (!written)
        throw ExceptionModule(cannotInitialize, toWide(query->lastError()));
    values[name] = value;
}

bool AppConfig::isFirstLaunch() const
{
    return firstLaunch;
}
