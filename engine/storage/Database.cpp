#include "engine/storage/Database.h"

#include "engine/SecretText.h"
#include "engine/Strings.h"
#include "engine/storage/VaultSchema.h"

#include <sqlcipher/sqlite3.h>

#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <map>
#include <mutex>
#include <system_error>
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

// SQLCipher turns the fixed passphrase into the page key with PBKDF2
// (HMAC-SHA1, 64,000 rounds, 32 bytes) over the salt in the file's first
// 16 bytes, again for every connection: tens of milliseconds each, several
// times for every program that opens the vault. The key depends on nothing
// but the salt, so it is derived once per salt in a process and handed to
// SQLCipher as the raw key it would have derived itself.
constexpr int kSaltLength = 16;
constexpr int kPassphraseRounds = 64000;
constexpr int kPageKeyLength = 32;

// The file's salt; empty while the file is too short to hold one (a new
// vault, whose first connection writes it).
std::string saltOf(const std::string& fileName)
{
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::array<char, kSaltLength> salt {};
    const ssize_t got = ::pread(fd, salt.data(), salt.size(), 0);
    ::close(fd);
    if (got != kSaltLength)
        return {};
    return std::string(salt.data(), salt.size());
}

// The raw key text ("x'<64 hex digits>'") of the fixed passphrase for a
// salt, or empty when SQLCipher must derive it from the passphrase itself.
std::string derivePageKey(const std::string& salt)
{
    std::array<unsigned char, kPageKeyLength> key {};
    if (PKCS5_PBKDF2_HMAC(vaultschema::connectionKey, vaultschema::connectionKeyLength,
            reinterpret_cast<const unsigned char*>(salt.data()), kSaltLength, kPassphraseRounds, EVP_sha1(),
            kPageKeyLength, key.data())
        != 1)
        return {};
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "x'";
    for (const unsigned char byte : key) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0f];
    }
    text += "'";
    return text;
}

// The raw key text for the salt of fileName, or empty when the passphrase
// itself must be used. A key another thread is deriving is waited for,
// not derived twice; keys of other salts are derived meanwhile.
std::string fixedPageKey(const std::string& fileName)
{
    const std::string salt = saltOf(fileName);
    if (salt.empty())
        return {};
    static std::mutex mutex;
    static std::map<std::string, std::shared_future<std::string>> derived;
    std::promise<std::string> mine;
    std::shared_future<std::string> key;
    bool deriveHere = false;
    {
        std::lock_guard lock(mutex);
        const auto found = derived.find(salt);
        if (found != derived.end()) {
            key = found->second;
        } else {
            // Bounded: a process meets a handful of vault databases at most.
            if (derived.size() > 64)
                derived.clear();
            key = mine.get_future().share();
            derived.emplace(salt, key);
            deriveHere = true;
        }
    }
    if (deriveHere) {
        std::string text;
        try {
            text = derivePageKey(salt);
        } catch (...) {
            // Left to SQLCipher, which derives it from the passphrase.
            text.clear();
        }
        mine.set_value(std::move(text));
    }
    return key.get();
}

} // namespace

std::future<void> Database::deriveKeyAhead(const std::string& fileName)
{
    try {
        return std::async(std::launch::async, [fileName] { (void)fixedPageKey(fileName); });
    } catch (const std::system_error&) {
        // No thread to spare: the first connection derives it instead.
        return {};
    }
}

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
    const std::string pageKey = ownKey ? std::string() : fixedPageKey(pool->file_name);
    const char* key = ownKey ? pool->key.data() : pageKey.empty() ? vaultschema::connectionKey : pageKey.data();
    const int keyLength = ownKey ? static_cast<int>(pool->key.size())
        : pageKey.empty()        ? vaultschema::connectionKeyLength
                                 : static_cast<int>(pageKey.size());
    if (sqlite3_key(handle, key, keyLength) != SQLITE_OK) {
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
