#pragma once

#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

// One database file and the pool of connections opened to it. Every
// connection is keyed with the system's fixed passphrase and waits for a
// while when another process holds the file locked. A Query borrows one
// connection for its whole life; connections are opened on demand and stay
// open until the Database is destroyed, because keying a new one is slow.
//
// Destroying a Database closes every connection, also those still lent to a
// live Query: such a Query then behaves as if it never had a connection.
class Database {
public:
    struct Connection {
        sqlite3* handle = nullptr;
        bool busy = false; // lent to a live Query
    };

    // Opens nothing yet; the path is handed to SQLite unchanged. A key (a
    // hardened vault's raw key text) replaces the fixed passphrase.
    explicit Database(std::string fileName, std::string key = {});
    virtual ~Database();

    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Derives the page key of an existing database file (kept by its salt)
    // on a thread of its own, so that a program opening two databases
    // derives both keys at once: some 30 ms each. The result waits for it
    // (none when no thread could be started: the key is derived when needed).
    [[nodiscard]] static std::future<void> deriveKeyAhead(const std::string& fileName);
    // Asks the kernel, on a thread of its own, to read a database file of at
    // most readAheadLimit bytes into the page cache. From a cold cache SQLite
    // reads a page (1 KiB) at a time wherever its rows lie, and an opening
    // that trims the change log read some 800 such pages: one pass over the
    // whole file is quicker. Only a hint: nothing waits for the disk, and a
    // file that is missing, larger or not a plain file is left alone.
    [[nodiscard]] static std::future<void> readAhead(const std::string& fileName);
    static constexpr long long readAheadLimit = 32LL << 20;

    // Lends the first free connection, or opens a new one (creating a missing
    // file with owner-only access). nullptr when none can be opened.
    [[nodiscard]] Connection* grabdb();
    void release(Connection* connection);

    std::size_t connectionCount() const;
    const std::string& fileName() const;
    // Why the last attempt to open a connection failed ("" when none did).
    std::string lastOpenError() const;

private:
    friend class Query;

    // Shared with every Query that borrowed from this Database, so that a
    // Query outliving it still finds its Connection (closed) and never
    // touches freed memory.
    struct Pool {
        std::string file_name;
        std::vector<std::unique_ptr<Connection>> connections;
        std::string last_open_error;
        std::string key;
        bool open = true;
        ~Pool();
    };

    bool createPrivateFile();
    Connection* openConnection();

    std::shared_ptr<Pool> pool;
};
