#include "engine/storage/Database.h"

#include "engine/SecretText.h"
#include "engine/Strings.h"
#include "engine/storage/VaultSchema.h"

#include <sqlcipher/sqlite3.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Two programs on one vault (the desktop program and a shell switch) wait
// for each other's transactions instead of failing at once.
constexpr int busyTimeoutMilliseconds = 10000;

// sqlite3_close_v2 never fails on a valid handle: with statements still
// open it defers the close until the last of them is finalized.
void closeHandle(sqlite3* handle)
{
    const int result = sqlite3_close_v2(handle);
    (void)result;
}

} // namespace

Database::Database(std::string fileName, std::string key)
    : pool(std::make_shared<Pool>())
{
    pool->file_name = std::move(fileName);
    pool->key = std::move(key);
    wipeText(key);
}

Database::Pool::~Pool()
{
    wipeText(key);
}

Database::~Database()
{
    for (auto& connection : pool->connections) {
        if (connection->handle != nullptr)
            closeHandle(connection->handle);
        connection->handle = nullptr;
    }
    pool->open = false;
}

Database::Connection* Database::grabdb()
{
    for (auto& connection : pool->connections) {
        if (!connection->busy && connection->handle != nullptr) {
            connection->busy = true;
            return connection.get();
        }
    }
    return openConnection();
}

void Database::release(Connection* connection)
{
    if (connection != nullptr)
        connection->busy = false;
}

std::size_t Database::connectionCount() const
{
    return pool->connections.size();
}

const std::string& Database::fileName() const
{
    return pool->file_name;
}

std::string Database::lastOpenError() const
{
    return pool->last_open_error;
}

// SQLite would create a missing file under the umask; the private file must
// never exist with a wider mode, not even for a moment.
bool Database::createPrivateFile()
{
    const int fd = ::open(pool->file_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST)
            return true;
        pool->last_open_error = "Cannot create " + pool->file_name + ": " + toNarrow(systemErrorText(error));
        return false;
    }
    if (::close(fd) != 0) {
        pool->last_open_error = "Cannot create " + pool->file_name + ": " + toNarrow(systemErrorText(errno));
        return false;
    }
    return true;
}

Database::Connection* Database::openConnection()
{
    if (!pool->open || !createPrivateFile())
        return nullptr;

    sqlite3* handle = nullptr;
    const int opened = sqlite3_open(pool->file_name.c_str(), &handle);
    if (opened != SQLITE_OK) {
        pool->last_open_error = "Can't open database: "
            + std::string(handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(opened));
        if (handle != nullptr)
            closeHandle(handle);
        return nullptr;
    }
    const bool ownKey = !pool->key.empty();
    if (sqlite3_key(handle, ownKey ? pool->key.data() : vaultschema::connectionKey,
                    ownKey ? static_cast<int>(pool->key.size()) : vaultschema::connectionKeyLength)
        != SQLITE_OK) {
        pool->last_open_error = "Cannot key the database: " + std::string(sqlite3_errmsg(handle));
        closeHandle(handle);
        return nullptr;
    }
    if (sqlite3_busy_timeout(handle, busyTimeoutMilliseconds) != SQLITE_OK) {
        pool->last_open_error = "Cannot set the busy timeout: " + std::string(sqlite3_errmsg(handle));
        closeHandle(handle);
        return nullptr;
    }

    auto connection = std::make_unique<Connection>();
    connection->handle = handle;
    connection->busy = true;
    pool->connections.push_back(std::move(connection));
    pool->last_open_error.clear();
    return pool->connections.back().get();
}
