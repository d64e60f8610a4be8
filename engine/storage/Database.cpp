#include "engine/storage/Database.h"

#include "engine/SecretText.h"
#include "engine/Strings.h"
#include "engine/storage/GatheredWrites.h"
#include "engine/storage/PageKeyCache.h"
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
#include <sys/stat.h>
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
// but the salt, so it is derived once per salt in a process, kept for the
// other programs of the login, and handed to SQLCipher as the raw key it
// would have derived itself.
constexpr int kSaltLength = 16;
constexpr int kPassphraseRounds = 64000;
constexpr int kPageKeyLength = 32;

// The file's salt; empty while the file is too short to hold one (a new
// vault, whose first connection writes it).
std::string saltOf(const std::string& fileName)
{
    // Non-blocking so that a named pipe in the file's place cannot hold the
    // thread; anything but a plain file has no salt to read.
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {};
    struct stat info {};
    std::array<char, kSaltLength> salt {};
    const ssize_t got =
        ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? ::pread(fd, salt.data(), salt.size(), 0) : -1;
    ::close(fd);
    if (got != kSaltLength)
        return {};
    return std::string(salt.data(), salt.size());
}

// The raw page key of the fixed passphrase for a salt; empty when it cannot
// be derived here.
std::string derivePageKey(const std::string& salt)
{
    std::string key(kPageKeyLength, '\0');
    if (PKCS5_PBKDF2_HMAC(vaultschema::connectionKey, vaultschema::connectionKeyLength,
            reinterpret_cast<const unsigned char*>(salt.data()), kSaltLength, kPassphraseRounds, EVP_sha1(),
            kPageKeyLength, reinterpret_cast<unsigned char*>(key.data()))
        != 1)
        return {};
    return key;
}

std::string lowerHex(const std::string& bytes)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const char byte : bytes) {
        text += kHex[static_cast<unsigned char>(byte) >> 4];
        text += kHex[static_cast<unsigned char>(byte) & 0x0f];
    }
    return text;
}

// The page key for one salt: its raw key text, empty when the passphrase
// itself must be used; kept when it came from another program and has not
// yet opened a file here.
struct PageKey {
    std::string text;
    bool kept = false;
};

// The keys this process has, by salt.
struct DerivedKeys {
    std::mutex mutex;
    std::map<std::string, std::shared_future<PageKey>> bySalt;
};

DerivedKeys& derivedKeys()
{
    static DerivedKeys keys;
    return keys;
}

// The page key for the salt of fileName. A key another thread is deriving
// is waited for, not derived twice; keys of other salts are derived
// meanwhile. A key another program derived is taken as it was kept, unless
// one of those just failed.
PageKey fixedPageKey(const std::string& fileName, bool takeKept = true)
{
    const std::string salt = saltOf(fileName);
    if (salt.empty())
        return {};
    std::promise<PageKey> mine;
    std::shared_future<PageKey> key;
    bool deriveHere = false;
    {
        DerivedKeys& derived = derivedKeys();
        std::lock_guard lock(derived.mutex);
        const auto found = derived.bySalt.find(salt);
        if (found != derived.bySalt.end()) {
            key = found->second;
        } else {
            // Bounded: a process meets a handful of vault databases at most.
            if (derived.bySalt.size() > 64)
                derived.bySalt.clear();
            key = mine.get_future().share();
            derived.bySalt.emplace(salt, key);
            deriveHere = true;
        }
    }
    if (deriveHere) {
        PageKey made;
        try {
            const std::string saltHex = lowerHex(salt);
            std::string keyHex = takeKept ? PageKeyCache::find(saltHex) : std::string();
            made.kept = !keyHex.empty();
            if (!made.kept) {
                keyHex = lowerHex(derivePageKey(salt));
                if (!keyHex.empty())
                    PageKeyCache::remember(saltHex, keyHex);
            }
            // SQLCipher's text for a raw key.
            if (!keyHex.empty())
                made.text = "x'" + keyHex + "'";
        } catch (...) {
            // Left to SQLCipher, which derives it from the passphrase.
            made = {};
        }
        mine.set_value(std::move(made));
    }
    return key.get();
}

// A kept key that did not open its file: forgotten here and by the other
// programs, so that the next connection derives it.
void forgetPageKey(const std::string& fileName)
{
    const std::string salt = saltOf(fileName);
    if (salt.empty())
        return;
    {
        DerivedKeys& derived = derivedKeys();
        std::lock_guard lock(derived.mutex);
        derived.bySalt.erase(salt);
    }
    PageKeyCache::forget(lowerHex(salt));
}

// Whether a kept key opens the file: SQLCipher checks the first page's
// authentication code when it is read.
bool keyOpens(sqlite3* handle)
{
    return sqlite3_exec(handle, "select count(*) from sqlite_master", nullptr, nullptr, nullptr) != SQLITE_NOTADB;
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

std::future<void> Database::readAhead(const std::string& fileName)
{
    try {
        return std::async(std::launch::async, [fileName] {
            // Non-blocking: a named pipe in the file's place never holds the thread.
            const int descriptor = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
            if (descriptor < 0)
                return;
            struct stat info {};
            if (::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= readAheadLimit)
                (void)::posix_fadvise(descriptor, 0, info.st_size, POSIX_FADV_WILLNEED);
            (void)::close(descriptor); // opened for reading only
        });
    } catch (const std::system_error&) {
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
    // A key kept by another program that does not open the file is
    // forgotten and the connection made again with the derived one.
    for (int attempt = 0; handle == nullptr && attempt < 2; ++attempt) {
        const int opened = sqlite3_open_v2(pool->file_name.c_str(), &handle,
                                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, gatheredwrites::vfsName());
        if (opened != SQLITE_OK) {
            pool->last_open_error = "Can't open database: "
                + std::string(handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(opened));
            if (handle != nullptr)
                closeHandle(handle);
            return nullptr;
        }
        const bool ownKey = !pool->key.empty();
        const PageKey pageKey = ownKey ? PageKey() : fixedPageKey(pool->file_name, attempt == 0);
        const char* key = ownKey ? pool->key.data()
            : pageKey.text.empty()  ? vaultschema::connectionKey
                                    : pageKey.text.data();
        const int keyLength = ownKey ? static_cast<int>(pool->key.size())
            : pageKey.text.empty()   ? vaultschema::connectionKeyLength
                                     : static_cast<int>(pageKey.text.size());
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
        if (pageKey.kept && !keyOpens(handle)) {
            closeHandle(handle);
            handle = nullptr;
            forgetPageKey(pool->file_name);
        }
    }
    if (handle == nullptr) {
        pool->last_open_error = "Cannot key the database: file is not a database";
        return nullptr;
    }

    auto connection = std::make_unique<Connection>();
    connection->handle = handle;
    connection->busy = true;
    pool->connections.push_back(std::move(connection));
    pool->last_open_error.clear();
    return pool->connections.back().get();
}
