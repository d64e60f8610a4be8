// Database writes go to the kernel gathered: transactions far larger than one
// gathered run commit and roll back whole, also when SQLite's cache spills
// into the file before the end, and another connection reads what committed.

#include <string>

#include <gtest/gtest.h>

#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "tests/storage/StorageTestHelpers.h"

namespace {

std::string single(Database& db, const std::string& sql)
{
    Query query(db);
    if (!query.get_result(sql) || !query.fetch_row())
        return "(no row)";
    return query.getstr("v");
}

} // namespace

TEST(GatheredWrites, LargeTransactionsCommitAndRollBackWhole)
{
    const std::string path = storagetest::newDatabasePath("gathered");
    Database writer(path);
    {
        Query query(writer);
        ASSERT_TRUE(query.execute("create table blobs(id integer primary key, body BLOB)"));
        // 3 MB in one transaction: the journal and the file are written in
        // runs of up to 96 KiB, and whole MiBs among them.
        ASSERT_TRUE(query.execute("begin transaction"));
        ASSERT_TRUE(query.execute("with recursive n(i) as (select 1 union all select i + 1 from n where i < 3000) "
                                  "insert into blobs(body) select randomblob(1000) from n"));
        ASSERT_TRUE(query.execute("commit transaction"));

        // A cache of 50 pages spills the changed pages into the file long
        // before the end; the rollback reads them back from the journal.
        ASSERT_TRUE(query.execute("pragma cache_size = 50"));
        ASSERT_TRUE(query.execute("begin transaction"));
        ASSERT_TRUE(query.execute("update blobs set body = zeroblob(900)"));
        ASSERT_TRUE(query.execute("delete from blobs where id % 3 = 0"));
        ASSERT_TRUE(query.execute("rollback transaction"));
    }
    Database reader(path);
    EXPECT_EQ(single(reader, "select count(*) as v from blobs where length(body) = 1000"), "3000");
    Query check(reader);
    ASSERT_TRUE(check.get_result("pragma integrity_check"));
    ASSERT_TRUE(check.fetch_row());
    EXPECT_EQ(check.getstr("integrity_check"), "ok");
}
