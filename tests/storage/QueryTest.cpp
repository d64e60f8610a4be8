#include "engine/ExceptionModule.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "tests/storage/StorageTestHelpers.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using storagetest::newDatabasePath;

namespace {

// A table with every kind of value the engine stores.
void createItems(Query& query)
{
    ASSERT_TRUE(query.execute("create table items(id integer primary key, name TEXT, size INT, note TEXT)"));
}

int countRows(Database& db, const std::string& table)
{
    Query query(db);
    if (!query.get_result("select count(*) as n from " + table) || !query.fetch_row())
        return -1;
    return query.getval("n");
}

} // namespace

TEST(Database, CreatesItsFileOwnerOnlyOnFirstUse)
{
    const std::string path = newDatabasePath("private-file");
    Database db(path);
    EXPECT_EQ(db.connectionCount(), 0u);
    EXPECT_EQ(db.fileName(), path);
    EXPECT_FALSE(testsupport::exists(path)) << "construction must open nothing";

    // Even with a permissive umask the file must never be readable by others.
    const mode_t previous = ::umask(0);
    {
        Query query(db);
        ASSERT_TRUE(query.hasConnection());
        EXPECT_EQ(storagetest::fileMode(path), 0600);
        createItems(query);
        // SQLite's journal holds page images of the file: it must be as private.
        ASSERT_TRUE(query.execute("begin transaction"));
        ASSERT_TRUE(query.execute("insert into items(name) values ('a')"));
        EXPECT_EQ(storagetest::fileMode(path + "-journal"), 0600);
        ASSERT_TRUE(query.execute("commit transaction"));
    }
    ::umask(previous);
    EXPECT_EQ(storagetest::fileMode(path), 0600);
    EXPECT_EQ(db.connectionCount(), 1u);
}

TEST(Database, LendsFreeConnectionsBeforeOpeningNewOnes)
{
    Database db(newDatabasePath("pool"));
    sqlite3* first = nullptr;
    {
        Query a(db);
        Query b(db);
        ASSERT_TRUE(a.hasConnection());
        ASSERT_TRUE(b.hasConnection());
        first = a.connectionHandle();
        EXPECT_NE(a.connectionHandle(), b.connectionHandle());
        EXPECT_EQ(db.connectionCount(), 2u);
    }
    Query next(db);
    EXPECT_EQ(next.connectionHandle(), first);
    EXPECT_EQ(db.connectionCount(), 2u);

    Database::Connection* lent = db.grabdb();
    ASSERT_NE(lent, nullptr);
    EXPECT_NE(lent->handle, first);
    EXPECT_TRUE(lent->busy);
    db.release(lent);
    EXPECT_FALSE(lent->busy);
    EXPECT_EQ(db.connectionCount(), 2u);
}

// Connections after a file's first one are keyed with the page key derived
// in this process; the file must stay one that SQLCipher keyed with the
// passphrase reads and writes, both ways.
TEST(Database, LaterConnectionsKeepTheFileThePassphraseOpens)
{
    const std::string path = newDatabasePath("page-key");
    const std::string passphrase = "PRAGMA key='581736024917365028471639502847361dce';\n";
    {
        Database created(path);
        Query query(created);
        createItems(query);
        ASSERT_TRUE(query.execute("insert into items(name) values ('first')"));
    }
    {
        Database reopened(path);
        Query query(reopened);
        ASSERT_TRUE(query.execute("insert into items(name) values ('second')"));
    }
    const storagetest::ToolRun read = storagetest::runSqlcipher(path, passphrase + "select name from items order by id;\n");
    EXPECT_NE(read.output.find("first\nsecond"), std::string::npos) << read.output;

    // A file the tool created (its own salt, its own derivation) opens here.
    const std::string foreign = newDatabasePath("page-key-foreign");
    const storagetest::ToolRun made = storagetest::runSqlcipher(
        foreign, passphrase + "create table items(id integer primary key, name TEXT);\ninsert into items(name) values ('made');\n");
    ASSERT_EQ(made.exitStatus, 0) << made.output;
    for (int round = 0; round < 2; ++round) {
        Database opened(foreign);
        EXPECT_EQ(countRows(opened, "items"), 1) << "round " << round;
    }
}

TEST(Database, AKeyDerivedAheadOpensItsFileWhileAnotherOpens)
{
    // Files the tool made: their keys are not known to this process yet.
    const std::string passphrase = "PRAGMA key='581736024917365028471639502847361dce';\n";
    std::vector<std::string> paths;
    for (const char* name : {"ahead-vault", "ahead-settings"}) {
        paths.push_back(newDatabasePath(name));
        const storagetest::ToolRun made = storagetest::runSqlcipher(
            paths.back(), passphrase + "create table items(id integer primary key, name TEXT);\n"
                                       "insert into items(name) values ('" + name + "');\n");
        ASSERT_EQ(made.exitStatus, 0) << made.output;
    }
    std::future<void> ahead = Database::deriveKeyAhead(paths[0]);
    // Both open at once, the first while its key may still be on its way.
    std::future<int> other = std::async(std::launch::async, [&] {
        Database settings(paths[1]);
        return countRows(settings, "items");
    });
    Database vault(paths[0]);
    EXPECT_EQ(countRows(vault, "items"), 1);
    EXPECT_EQ(other.get(), 1);
    ahead.get();

    // A database not there yet is left alone: the first connection makes it.
    const std::string missing = newDatabasePath("ahead-missing");
    Database::deriveKeyAhead(missing).get();
    EXPECT_FALSE(testsupport::exists(missing));
}

namespace {

// Whether work finishes within a deadline although a named pipe without a
// writer lies at pipe; if not, a writer is opened to let it go, so that the
// test fails rather than hangs.
bool finishesBesidePipe(const std::string& pipe, const std::function<void()>& work)
{
    std::future<void> done = std::async(std::launch::async, work);
    const bool finished = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!finished) {
        const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    done.get();
    return finished;
}

} // namespace

// A named pipe in the place of a file read at opening (opened for reading
// the ordinary way, it waits for a writer): nothing waits on it.
TEST(Database, NothingWaitsOnANamedPipeInAFilesPlace)
{
    const std::string pipe = newDatabasePath("ahead-pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_TRUE(finishesBesidePipe(pipe, [&] { Database::readAhead(pipe).get(); }));
    EXPECT_TRUE(finishesBesidePipe(pipe, [&] { Database::deriveKeyAhead(pipe).get(); }));
    Database::readAhead(newDatabasePath("ahead-none")).get();

    // The page keys kept for the login's programs.
    const std::string kept = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/kist/page-keys";
    const std::string database = newDatabasePath("kept-pipe");
    {
        Database first(database);
        Query query(first);
        ASSERT_TRUE(query.execute("create table items(name text)"));
    }
    std::filesystem::remove(kept);
    ASSERT_EQ(::mkfifo(kept.c_str(), 0600), 0);
    EXPECT_TRUE(finishesBesidePipe(kept, [&] {
        Database again(database);
        EXPECT_EQ(countRows(again, "items"), 0);
    }));
    std::filesystem::remove(kept);
}

TEST(Database, UnopenableFileGivesQueriesWithoutConnection)
{
    const std::string path = testsupport::makeScratchFolder("no-folder") + "/missing/test.db";
    Database db(path);
    EXPECT_EQ(db.grabdb(), nullptr);
    EXPECT_NE(db.lastOpenError().find("No such file"), std::string::npos) << db.lastOpenError();

    Query query(db);
    EXPECT_FALSE(query.hasConnection());
    EXPECT_EQ(query.connectionHandle(), nullptr);
    EXPECT_FALSE(query.execute("create table t(a)"));
    EXPECT_FALSE(query.lastError().empty());
    EXPECT_FALSE(query.get_result("select 1 as one"));
    EXPECT_FALSE(query.fetch_row());
    EXPECT_EQ(query.getstr("one"), "");
    EXPECT_EQ(query.getval("one"), 0);
    EXPECT_EQ(db.connectionCount(), 0u);
    EXPECT_FALSE(testsupport::exists(path));

    try {
        query.executeOrThrow("create table t(a)", "create the table");
        FAIL() << "a statement without connection must not pass";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot create the table: the vault database refused the change.");
        EXPECT_FALSE(error.getCause().empty());
    }
}

TEST(Database, DestroyedBeforeItsQueriesClosesEverything)
{
    const std::string path = newDatabasePath("early-close");
    auto db = std::make_unique<Database>(path);
    auto idle = std::make_unique<Query>(*db);
    auto reading = std::make_unique<Query>(*db);
    createItems(*reading);
    // A kept compiled statement must not keep the file open either.
    auto keeping = std::make_unique<Query>(*db);
    ASSERT_TRUE(keeping->executeBound("select count(*) from items where name = ?", {std::string("x")}));
    ASSERT_TRUE(reading->execute("insert into items(name) values ('kept')"));
    ASSERT_TRUE(reading->execute("insert into items(name) values ('also kept')"));
    ASSERT_TRUE(reading->get_result("select name from items order by id"));
    ASSERT_TRUE(reading->fetch_row());
    ASSERT_GT(storagetest::openDescriptorsOn(path), 0);

    db.reset();

    // Both queries outlive their Database: they behave as closed, never crash.
    EXPECT_FALSE(idle->hasConnection());
    EXPECT_FALSE(idle->execute("insert into items(name) values ('lost')"));
    EXPECT_FALSE(keeping->executeBound("insert into items(name) values (?)", {std::string("lost")}));
    EXPECT_FALSE(reading->hasConnection());
    EXPECT_EQ(reading->getstr("name"), "");
    EXPECT_FALSE(reading->fetch_row());
    EXPECT_FALSE(reading->get_result("select name from items"));
    reading->free_result();
    idle.reset();
    reading.reset();
    keeping.reset();
    EXPECT_EQ(storagetest::openDescriptorsOn(path), 0) << "a connection stayed open";

    Database reopened(path);
    EXPECT_EQ(countRows(reopened, "items"), 2);
}

TEST(Query, ExecuteRunsOneStatementAndReportsFailures)
{
    Database db(newDatabasePath("execute"));
    Query query(db);
    EXPECT_FALSE(query.execute(""));
    EXPECT_FALSE(query.execute("   \n"));
    EXPECT_FALSE(query.execute("-- only a comment"));

    EXPECT_FALSE(query.execute("create tabel broken(a)"));
    EXPECT_NE(query.lastError().find("syntax error"), std::string::npos) << query.lastError();

    createItems(query);
    EXPECT_FALSE(query.execute("create table items(a)"));
    EXPECT_NE(query.lastError().find("already exists"), std::string::npos) << query.lastError();

    ASSERT_TRUE(query.execute("insert into items(id, name) values (1, 'one')"));
    // A constraint failure is a failed statement, not a success.
    EXPECT_FALSE(query.execute("insert into items(id, name) values (1, 'again')"));
    EXPECT_NE(query.lastError().find("UNIQUE"), std::string::npos) << query.lastError();
    // A statement that yields rows still runs.
    EXPECT_TRUE(query.execute("select * from items"));
    EXPECT_TRUE(query.execute("VACUUM;"));
    EXPECT_EQ(countRows(db, "items"), 1);
}

TEST(Query, BoundStatementsRunRowAfterRowWithTheirOwnValues)
{
    const std::string path = newDatabasePath("bound");
    Database db(path);
    Query query(db);
    createItems(query);
    const std::string insert = "insert into items(id, name, size, note) values (?, ?, ?, ?)";
    for (int64_t id = 1; id <= 300; ++id)
        ASSERT_TRUE(query.executeBound(insert, {id, "Tom's file " + std::to_string(id), int64_t {5'000'000'000} + id,
                                                std::string()}))
            << query.lastError();
    const std::string hostile = "x'); drop table items; --";
    ASSERT_TRUE(query.executeBound(insert, {int64_t {301}, hostile, int64_t {0}, std::string("\xc3\xa9")}));
    EXPECT_EQ(countRows(db, "items"), 301);

    // Each run reads its own values, not those of the run before.
    const std::string byId = "select name, size, note from items where id = ?";
    for (const int64_t id : {int64_t {42}, int64_t {43}, int64_t {301}}) {
        ASSERT_TRUE(query.get_result_bound(byId, {id})) << query.lastError();
        ASSERT_TRUE(query.fetch_row());
        EXPECT_EQ(query.getstr("name"), id == 301 ? hostile : "Tom's file " + std::to_string(id));
        EXPECT_EQ(query.getbigint("size"), id == 301 ? 0 : 5'000'000'000 + id);
        EXPECT_EQ(query.getstr("note"), id == 301 ? "\xc3\xa9" : "");
        EXPECT_FALSE(query.fetch_row());
        // Nothing else runs while a result set is open.
        EXPECT_FALSE(query.executeBound(insert, {int64_t {999}, std::string(), int64_t {0}, std::string()}));
        query.free_result();
    }

    // A wrong number of values, or a refused row, fails and changes nothing;
    // the statement still runs afterwards.
    EXPECT_FALSE(query.executeBound(insert, {int64_t {302}}));
    EXPECT_NE(query.lastError().find("takes 4 values, not 1"), std::string::npos) << query.lastError();
    EXPECT_FALSE(query.executeBound(insert, {int64_t {1}, std::string("again"), int64_t {0}, std::string()}));
    EXPECT_NE(query.lastError().find("UNIQUE"), std::string::npos) << query.lastError();
    EXPECT_THROW(query.executeBoundOrThrow(insert, {int64_t {1}, std::string(), int64_t {0}, std::string()}, "add"),
                 ExceptionModule);
    ASSERT_TRUE(query.executeBound(insert, {int64_t {302}, std::string("last"), int64_t {1}, std::string()}));
    EXPECT_EQ(countRows(db, "items"), 302);

    // Kept statements hold no lock once run: another connection writes while
    // this Query lives (otherwise it waits out the busy time-out and fails).
    Database other(path);
    Query writer(other);
    EXPECT_TRUE(writer.execute("insert into items(name) values ('beside')")) << writer.lastError();
    EXPECT_TRUE(writer.execute("delete from items where id = 1")) << writer.lastError();
    ASSERT_TRUE(query.get_result_bound(byId, {int64_t {1}}));
    EXPECT_FALSE(query.fetch_row()) << "the kept statement reads the file as it is now";
    query.free_result();
}

TEST(Query, ExecuteIsRefusedWhileAResultSetIsOpen)
{
    Database db(newDatabasePath("busy-query"));
    Query query(db);
    createItems(query);
    ASSERT_TRUE(query.execute("insert into items(name) values ('a')"));
    ASSERT_TRUE(query.execute("insert into items(name) values ('b')"));

    ASSERT_TRUE(query.get_result("select name from items order by id"));
    EXPECT_FALSE(query.execute("delete from items"));
    // A second result set is refused too, and the open one reads on.
    EXPECT_FALSE(query.get_result("select size from items"));
    ASSERT_TRUE(query.fetch_row());
    EXPECT_EQ(query.getstr("name"), "a");
    ASSERT_TRUE(query.fetch_row());
    EXPECT_EQ(query.getstr("name"), "b");
    EXPECT_FALSE(query.fetch_row());
    query.free_result();

    EXPECT_TRUE(query.execute("delete from items"));
    EXPECT_EQ(countRows(db, "items"), 0);
}

TEST(Query, ResultSetsReadRowByRow)
{
    Database db(newDatabasePath("result-set"));
    Query query(db);
    createItems(query);

    ASSERT_TRUE(query.get_result("select * from items"));
    EXPECT_EQ(query.row_count(), 0);
    EXPECT_FALSE(query.fetch_row());
    query.free_result();

    for (const char* name : {"first", "second", "third"})
        ASSERT_TRUE(query.execute(std::string("insert into items(name) values ('") + name + "')"));
    ASSERT_TRUE(query.get_result("select name from items order by id"));
    EXPECT_EQ(query.row_count(), 1);
    EXPECT_EQ(query.getstr("name"), "") << "no row is current before the first fetch_row";
    std::vector<std::string> names;
    while (query.fetch_row())
        names.push_back(query.getstr("name"));
    EXPECT_EQ(names, (std::vector<std::string>{"first", "second", "third"}));
    // Past the end it stays at the end instead of starting over.
    EXPECT_FALSE(query.fetch_row());
    EXPECT_FALSE(query.fetch_row());
    EXPECT_EQ(query.getstr("name"), "");
    query.free_result();
    EXPECT_FALSE(query.fetch_row());

    EXPECT_FALSE(query.get_result("select * from nowhere"));
    EXPECT_NE(query.lastError().find("no such table"), std::string::npos) << query.lastError();
    EXPECT_FALSE(query.fetch_row());
    EXPECT_FALSE(query.get_result(""));
}

TEST(Query, ColumnsReadByName)
{
    Database db(newDatabasePath("columns"));
    Query query(db);
    createItems(query);
    ASSERT_TRUE(query.execute("insert into items(name, size, note) values ('report', 4000000000, NULL)"));
    ASSERT_TRUE(query.execute("insert into items(name, size, note) values (NULL, '17', 'x')"));

    ASSERT_TRUE(query.get_result("select * from items order by id"));
    ASSERT_TRUE(query.fetch_row());
    EXPECT_EQ(query.getstr("name"), "report");
    EXPECT_EQ(query.getstr("note"), "") << "NULL reads as empty text";
    EXPECT_EQ(query.getbigint("size"), 4000000000LL) << "sizes above 2^31 keep their value";
    EXPECT_EQ(query.getstr("size"), "4000000000");
    EXPECT_EQ(query.getstr("missing"), "");
    EXPECT_EQ(query.getval("missing"), 0);
    EXPECT_EQ(query.getbigint("missing"), 0);
    EXPECT_EQ(query.getstr("NAME"), "") << "column names are matched exactly";
    ASSERT_TRUE(query.fetch_row());
    EXPECT_EQ(query.getstr("name"), "");
    EXPECT_EQ(query.getval("name"), 0);
    EXPECT_EQ(query.getval("size"), 17);
    EXPECT_EQ(query.getval("id"), 2);
    query.free_result();
    EXPECT_EQ(query.getstr("name"), "");
}

TEST(Query, QuotedTextRoundTripsUnchanged)
{
    EXPECT_EQ(sqlText(""), "");
    EXPECT_EQ(sqlText("plain"), "plain");
    EXPECT_EQ(sqlText("John's notes.txt"), "John''s notes.txt");
    EXPECT_EQ(sqlText("''"), "''''");
    EXPECT_EQ(sqlText("'"), "''");

    Database db(newDatabasePath("quotes"));
    Query query(db);
    createItems(query);
    const std::vector<std::string> values = {
        "John's notes.txt",
        "'",
        "it''s doubled already",
        "  two  blanks\tand a tab  ",
        "\xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",
        std::string("\xff\xfe not UTF-8", 12),
        "'); drop table items; --",
        "",
    };
    for (const std::string& value : values)
        ASSERT_TRUE(query.execute("insert into items(name) values ('" + sqlText(value) + "')")) << value;

    ASSERT_TRUE(query.get_result("select name from items order by id"));
    std::vector<std::string> read;
    while (query.fetch_row())
        read.push_back(query.getstr("name"));
    query.free_result();
    EXPECT_EQ(read, values);

    ASSERT_TRUE(query.get_result("select id from items where name = '" + sqlText("John's notes.txt") + "'"));
    ASSERT_TRUE(query.fetch_row());
    EXPECT_EQ(query.getval("id"), 1);
}

TEST(Query, WaitsForAnotherProcessHoldingTheFile)
{
    const std::string path = newDatabasePath("two-processes");
    {
        Database db(path);
        Query query(db);
        createItems(query);
    }
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The other process: hold the file locked for a moment, then commit.
        ::close(ready[0]);
        int status = 1;
        {
            Database db(path);
            Query query(db);
            if (query.execute("begin exclusive transaction")
                && query.execute("insert into items(name) values ('from the other process')")) {
                const char signal = 'x';
                if (::write(ready[1], &signal, 1) == 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(400));
                    status = query.execute("commit transaction") ? 0 : 2;
                }
            }
        }
        ::_exit(status);
    }
    ::close(ready[1]);
    char signal = 0;
    ASSERT_EQ(::read(ready[0], &signal, 1), 1);
    ::close(ready[0]);

    Database db(path);
    Query query(db);
    const bool written = query.execute("insert into items(name) values ('from this process')");
    EXPECT_TRUE(written) << query.lastError();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(countRows(db, "items"), 2);
}

TEST(Transaction, CommitKeepsTheChanges)
{
    Database db(newDatabasePath("commit"));
    Query query(db);
    createItems(query);
    {
        Transaction transaction(query);
        ASSERT_TRUE(query.execute("insert into items(name) values ('a')"));
        ASSERT_TRUE(query.execute("insert into items(name) values ('b')"));
        transaction.commit();
    }
    EXPECT_EQ(countRows(db, "items"), 2);
    EXPECT_TRUE(query.execute("begin transaction")) << "no transaction may stay open";
    EXPECT_TRUE(query.execute("rollback transaction"));
}

TEST(Transaction, RolledBackWhenLeftByAnException)
{
    Database db(newDatabasePath("rollback"));
    Query query(db);
    createItems(query);
    ASSERT_TRUE(query.execute("insert into items(name) values ('before')"));

    EXPECT_THROW(
        {
            Transaction transaction(query);
            ASSERT_TRUE(query.execute("insert into items(name) values ('half done')"));
            ASSERT_TRUE(query.execute("delete from items where name = 'before'"));
            // Even an open result set must not keep the transaction alive.
            ASSERT_TRUE(query.get_result("select * from items"));
            throw std::runtime_error("failure in the middle");
        },
        std::runtime_error);
    query.free_result();

    EXPECT_EQ(countRows(db, "items"), 1);
    Query check(db);
    ASSERT_TRUE(check.get_result("select name from items"));
    ASSERT_TRUE(check.fetch_row());
    EXPECT_EQ(check.getstr("name"), "before");
    check.free_result();
    EXPECT_TRUE(query.execute("begin transaction")) << "no transaction may stay open";
    EXPECT_TRUE(query.execute("commit transaction"));
}

TEST(Transaction, FailuresAreReportedWithTheStep)
{
    Database db(newDatabasePath("transaction-errors"));
    Query query(db);
    Transaction outer(query);
    try {
        Transaction nested(query);
        FAIL() << "a transaction inside a transaction must not start";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot begin transaction: the vault database refused the change.");
        EXPECT_NE(error.getCause().find("within a transaction"), std::string::npos) << error.getCause();
    }
    outer.commit();
    try {
        Transaction transaction(query);
        transaction.commit();
        transaction.commit();
        FAIL() << "committing twice must fail";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot commit transaction: the vault database refused the change.");
    }
}

TEST(Query, ConnectionReturnsToThePoolWithoutAnOpenTransaction)
{
    Database db(newDatabasePath("pool-transaction"));
    {
        Query query(db);
        createItems(query);
        ASSERT_TRUE(query.execute("begin transaction"));
        ASSERT_TRUE(query.execute("insert into items(name) values ('never committed')"));
        // Destroyed without commit, as after an exception between the two.
    }
    Query next(db);
    ASSERT_EQ(db.connectionCount(), 1u);
    EXPECT_TRUE(next.execute("begin transaction")) << next.lastError();
    EXPECT_TRUE(next.execute("commit transaction"));
    EXPECT_EQ(countRows(db, "items"), 0);
}
