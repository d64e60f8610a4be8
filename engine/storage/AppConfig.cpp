#include "engine/storage/AppConfig.h"

#include "engine/ExceptionModule.h"
#include "engine/storage/Database.h"
#include "engine/storage/FolderLock.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

#include <new>

namespace {

const wchar_t* const cannotInitialize = L"Cannot initialize configuration database.";

} // namespace

AppConfig::AppConfig(const nocase_wstring& folder)
    : path(folder + L"/" + toWide(vaultschema::configFileName))
{
    // Windows marked the folders and the file hidden and system; on Linux
    // the leading dot hides the file and nothing else is needed.
    try {
        // Programs started at once must not read the settings file while
        // another one is creating it: SQLCipher would give an empty file a
        // key salt of its own and then refuse the file the other program
        // wrote. The folder's lock is held while the store is opened, read
        // and set up.
        const FolderLock lock(toNarrow(folder));
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
