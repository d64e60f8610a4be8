#include "engine/ExceptionModule.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"
#include "tests/storage/StorageTestHelpers.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

using storagetest::newDatabasePath;

namespace {

// SHA-1 of nothing, standing in for the empty password's hash.
const std::string emptyHash = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const std::string fixedKey = "581736024917365028471639502847361dce";

// The schema as SQLite keeps it in sqlite_master: it drops "if not exists"
// and upper-cases the leading keywords, and keeps the rest byte for byte.
const std::map<std::string, std::string> expectedVaultSchema = {
    {"ProtectedFiles",
     "CREATE TABLE ProtectedFiles( \t\t\t\t  entry_id integer primary key asc autoincrement, current_path TEXT, "
     "display_name TEXT, raw_file_name TEXT, unique_name TEXT, \t\t\tis_directory INT, volume INT, size INT, "
     "lock_date DATE, cipher TEXT, encrypt_algo TEXT, parent TEXT, target_path TEXT, current_root TEXT, "
     "target_root TEXT, \t\t\tis_hidden INT, is_encrypted INT, pending_transform INT)"},
    {"idsrc", "CREATE INDEX idsrc on ProtectedFiles(unique_name)"},
    {"KistConfig", "CREATE TABLE KistConfig(nv_name TEXT primary key, nv_value TEXT, update_date DATE)"},
    {"configname", "CREATE INDEX configname on KistConfig(nv_name)"},
    {"KistConfigAI",
     "CREATE TRIGGER KistConfigAI AFTER INSERT ON KistConfig BEGIN UPDATE KistConfig SET update_date = "
     "DATETIME('NOW','LOCALTIME')  WHERE rowid = new.rowid; END"},
};

std::string newVaultPath(const std::string& hint)
{
    return testsupport::makeScratchFolder(hint) + "/" + vaultschema::databaseFileName;
}

std::map<std::string, std::string> newVault(Database& db)
{
    Query query(db);
    std::map<std::string, std::string> settings;
    createVaultSchema(query, emptyHash, settings);
    return settings;
}

std::vector<std::pair<std::string, std::string>> readSettings(Database& db)
{
    Query query(db);
    std::vector<std::pair<std::string, std::string>> rows;
    if (!query.get_result(vaultschema::selectKistConfig))
        return rows;
    while (query.fetch_row())
        rows.emplace_back(query.getstr("nv_name"), query.getstr("nv_value"));
    return rows;
}

int countRows(Database& db, const std::string& sql)
{
    Query query(db);
    if (!query.get_result(sql))
        return -1;
    int rows = 0;
    while (query.fetch_row())
        ++rows;
    return rows;
}

} // namespace

TEST(VaultSchema, NewVaultHasTheFiveSettingsAndTheExactSchema)
{
    const std::string path = newVaultPath("new-vault");
    Database db(path);
    const std::map<std::string, std::string> settings = newVault(db);

    const std::vector<std::pair<std::string, std::string>> expectedRows = {
        {"CurrentPassword", emptyHash}, {"PreviousPassword", emptyHash}, {"Version", "0.31.012"},
        {"Skin", ""},                   {"Encryption", "CALG_AES_128"},
    };
    EXPECT_EQ(readSettings(db), expectedRows);
    EXPECT_EQ(settings, (std::map<std::string, std::string>(expectedRows.begin(), expectedRows.end())));

    Query query(db);
    ASSERT_TRUE(query.get_result("select nv_name, update_date from KistConfig"));
    while (query.fetch_row())
        EXPECT_FALSE(query.getstr("update_date").empty()) << "the trigger stamps " << query.getstr("nv_name");
    query.free_result();
    EXPECT_EQ(countRows(db, "select * from ProtectedFiles"), 0);

    std::map<std::string, std::string> stored;
    ASSERT_TRUE(query.get_result("select name, sql from sqlite_master where sql is not null"));
    while (query.fetch_row())
        stored[query.getstr("name")] = query.getstr("sql");
    query.free_result();
    stored.erase("sqlite_sequence");
    EXPECT_EQ(stored, expectedVaultSchema);
    EXPECT_EQ(storagetest::fileMode(path), 0600);
}

TEST(VaultSchema, CreatingAgainStartsAnEmptyVault)
{
    Database db(newVaultPath("recreate"));
    newVault(db);
    {
        Query query(db);
        ASSERT_TRUE(query.execute("insert into ProtectedFiles(unique_name, parent) values ('x', '')"));
        ASSERT_TRUE(query.execute("update KistConfig set nv_value = 'Dark' where nv_name = 'Skin'"));
    }
    std::map<std::string, std::string> settings = {{"Stale", "value"}, {"Skin", "Dark"}};
    Query query(db);
    createVaultSchema(query, emptyHash, settings);
    EXPECT_EQ(settings.size(), 5u);
    EXPECT_EQ(settings["Skin"], "");
    EXPECT_EQ(readSettings(db).size(), 5u);
    EXPECT_EQ(countRows(db, "select * from ProtectedFiles"), 0);
}

TEST(VaultSchema, FailedCreationLosesNothing)
{
    Database db(newVaultPath("failed-create"));
    newVault(db);
    Query query(db);
    ASSERT_TRUE(query.execute("insert into ProtectedFiles(unique_name, parent) values ('kept', '')"));
    // A table named like the index makes the index statement fail after
    // both tables were dropped.
    ASSERT_TRUE(query.execute("drop index idsrc"));
    ASSERT_TRUE(query.execute("create table idsrc(a)"));

    std::map<std::string, std::string> settings = {{"Skin", "Dark"}};
    try {
        createVaultSchema(query, emptyHash, settings);
        FAIL() << "creation must fail";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot initialize configuration database.");
    }
    EXPECT_EQ(settings, (std::map<std::string, std::string>{{"Skin", "Dark"}}));
    EXPECT_EQ(countRows(db, "select * from ProtectedFiles where unique_name = 'kept'"), 1);
    EXPECT_EQ(readSettings(db).size(), 5u);
    EXPECT_TRUE(query.execute("begin transaction")) << "no transaction may stay open";
    EXPECT_TRUE(query.execute("rollback transaction"));
}

TEST(VaultSchema, HasNoTablesTellsNewFromUsedAndRefusesGarbage)
{
    Database fresh(newVaultPath("fresh"));
    {
        Query query(fresh);
        EXPECT_TRUE(hasNoTables(query));
        EXPECT_TRUE(hasNoTables(query)) << "asking must not create anything";
    }
    newVault(fresh);
    {
        Query query(fresh);
        EXPECT_FALSE(hasNoTables(query));
    }

    const std::string garbagePath = newVaultPath("garbage");
    const std::string garbage = testsupport::patternBytes(4096);
    testsupport::writeFile(garbagePath, garbage);
    Database notADatabase(garbagePath);
    Query query(notADatabase);
    ASSERT_TRUE(query.hasConnection());
    try {
        (void)hasNoTables(query);
        FAIL() << "a file that is not a database must not pass for a new vault";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot initialize configuration database.");
    }
    EXPECT_EQ(testsupport::readFile(garbagePath), garbage);
}

TEST(VaultSchema, SqlcipherToolOpensTheVaultOnlyWithTheFixedKey)
{
    const std::string path = newVaultPath("cli");
    {
        Database db(path);
        newVault(db);
    }
    const storagetest::ToolRun keyed =
        storagetest::runSqlcipher(path, "PRAGMA key='" + fixedKey + "';\nselect nv_name from KistConfig order by rowid;\n");
    EXPECT_EQ(keyed.output, "CurrentPassword\nPreviousPassword\nVersion\nSkin\nEncryption\n");

    const storagetest::ToolRun unkeyed = storagetest::runSqlcipher(path, "select count(*) from KistConfig;\n");
    EXPECT_NE(unkeyed.output.find("file is encrypted or is not a database"), std::string::npos) << unkeyed.output;

    const storagetest::ToolRun wrongKey = storagetest::runSqlcipher(
        path, "PRAGMA key='581736024917365028471639502847361dcf';\nselect count(*) from KistConfig;\n");
    EXPECT_NE(wrongKey.output.find("file is encrypted or is not a database"), std::string::npos) << wrongKey.output;
}

TEST(VaultSchema, DatabaseWrittenBySqlcipherToolOpens)
{
    const std::string path = newVaultPath("cli-written");
    const storagetest::ToolRun made = storagetest::runSqlcipher(
        path, "PRAGMA key='" + fixedKey + "';\ncreate table notes(text TEXT);\ninsert into notes values ('it''s here');\n");
    ASSERT_EQ(made.exitStatus, 0) << made.output;

    Database db(path);
    Query query(db);
    EXPECT_FALSE(hasNoTables(query));
    ASSERT_TRUE(query.get_result("select text from notes"));
    ASSERT_TRUE(query.fetch_row());
    EXPECT_EQ(query.getstr("text"), "it's here");
}

TEST(VaultSchema, UnkeyedDatabaseIsRefused)
{
    // A plain SQLite file is a database under another key.
    const std::string path = newVaultPath("plain");
    const storagetest::ToolRun made = storagetest::runSqlcipher(path, "create table notes(text TEXT);\n");
    ASSERT_EQ(made.exitStatus, 0) << made.output;

    Database db(path);
    Query query(db);
    EXPECT_THROW((void)hasNoTables(query), ExceptionModule);
    EXPECT_FALSE(query.get_result("select * from notes"));
    EXPECT_NE(query.lastError().find("not a database"), std::string::npos) << query.lastError();
}

TEST(VaultSchema, RowStatementTexts)
{
    // Expected texts as stored vaults have always been written, tabs included.
    EXPECT_EQ(formatStatement(vaultschema::insertProtectedFile, "f13f/1", "guid-1", "John''s notes.txt", "notes.txt",
                              0, 2049ul, 4000000000ul, "c1", "CALG_AES_128", "", "", "/vault", "", 1, 1, 0),
              "insert into ProtectedFiles \t\t(current_path, unique_name, display_name, raw_file_name, is_directory, "
              "volume, size, cipher, encrypt_algo, parent, \t\t\ttarget_path, current_root, target_root, is_hidden, "
              "is_encrypted, pending_transform) \t\tvalues \t\t\t('f13f/1', 'guid-1', 'John''s notes.txt', "
              "'notes.txt', 0, 2049, 4000000000, 'c1', 'CALG_AES_128', '', '', '/vault', '', 1, 1, 0)");
    EXPECT_EQ(formatStatement(vaultschema::deleteProtectedFile, "guid-1"),
              "delete from ProtectedFiles where unique_name = 'guid-1'");
    EXPECT_EQ(formatStatement(vaultschema::storePlannedTransform, "t", "/tr", "c", "/cr", "k", "CALG_AES_256", 2, "g"),
              "update ProtectedFiles set target_path = 't', target_root = '/tr', current_path = 'c', "
              "current_root = '/cr', cipher = 'k', encrypt_algo = 'CALG_AES_256', pending_transform = 2 "
              "where unique_name = 'g'");
    EXPECT_EQ(formatStatement(vaultschema::storeFinishedTransform, "c", "/cr", 0, 1, 0, "g"),
              "update ProtectedFiles set target_path = '', target_root = '', current_path = 'c', current_root = "
              "'/cr', pending_transform = 0, is_hidden = 1, is_encrypted = 0 where unique_name = 'g'");
    EXPECT_EQ(formatStatement(vaultschema::storeCipher, "k2", "g"),
              "update ProtectedFiles set cipher='k2' where unique_name='g'");
    // The same statements with their values bound instead of pasted in.
    EXPECT_EQ(boundStatement(vaultschema::storeFinishedTransform),
              "update ProtectedFiles set target_path = '', target_root = '', current_path = ?, current_root = ?, "
              "pending_transform = ?, is_hidden = ?, is_encrypted = ? where unique_name = ?");
    const std::string insert = boundStatement(vaultschema::insertProtectedFile);
    EXPECT_EQ(insert.substr(insert.find("values")),
              "values \t\t\t(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    EXPECT_EQ(boundStatement(vaultschema::storeSize), "update ProtectedFiles set size = ? where unique_name = ?");
    EXPECT_EQ(std::string(vaultschema::selectTopLevel), "select * from ProtectedFiles where parent =''");
    EXPECT_EQ(formatStatement(vaultschema::selectChildren, "g"), "select * from ProtectedFiles where parent='g'");
}

TEST(VaultSchema, RowsRoundTripThroughTheRowStatements)
{
    using namespace vaultschema;
    Database db(newVaultPath("rows"));
    newVault(db);
    Query query(db);

    const std::string folderName = sqlText("Tom's \xc3\xa9t\xc3\xa9 folder");
    ASSERT_TRUE(query.execute(formatStatement(insertProtectedFile, "folder-guid", "folder-guid", folderName.c_str(),
                                              folderName.c_str(), 1, 66305ul, 4000000000ul, "", "", "", "", "", "",
                                              0, 0, 1)));
    // Long paths: nothing may be cut off, whatever the statement's length.
    const std::string longPart(5000, 'p');
    for (const char* child : {"2", "1", "3"}) {
        const std::string path = "folder-guid/" + longPart + "/" + child;
        ASSERT_TRUE(query.execute(formatStatement(insertProtectedFile, path.c_str(), child, child, child, 0, 66305ul,
                                                  7ul, "", "", "folder-guid", path.c_str(), "", "/target", 0, 0, 1)))
            << query.lastError();
    }

    ASSERT_TRUE(query.get_result(selectTopLevel));
    ASSERT_TRUE(query.fetch_row());
    EXPECT_EQ(query.getstr("display_name"), "Tom's \xc3\xa9t\xc3\xa9 folder");
    EXPECT_EQ(query.getbigint("size"), 4000000000LL);
    EXPECT_EQ(query.getbigint("volume"), 66305);
    EXPECT_EQ(query.getval("is_directory"), 1);
    EXPECT_EQ(query.getstr("lock_date"), "");
    EXPECT_FALSE(query.fetch_row()) << "children are not top-level rows";
    query.free_result();

    ASSERT_TRUE(query.get_result(formatStatement(selectChildren, "folder-guid")));
    std::vector<std::string> children;
    while (query.fetch_row()) {
        children.push_back(query.getstr("unique_name"));
        EXPECT_EQ(query.getstr("current_path").size(), 12 + 5000 + 2);
        EXPECT_EQ(query.getstr("parent"), "folder-guid");
    }
    query.free_result();
    EXPECT_EQ(children, (std::vector<std::string>{"2", "1", "3"}));

    ASSERT_TRUE(query.execute(formatStatement(storePlannedTransform, "t/1", "/vault", "c/1", "/home", "sealed-key",
                                              "CALG_AES_128", 2, "1")));
    ASSERT_TRUE(query.execute(formatStatement(storeFinishedTransform, "t/1", "/vault", 0, 1, 1, "1")));
    ASSERT_TRUE(query.execute(formatStatement(storeCipher, sqlText("new'key").c_str(), "1")));
    ASSERT_TRUE(query.get_result(formatStatement("select * from ProtectedFiles where unique_name = '%s'", "1")));
    ASSERT_TRUE(query.fetch_row());
    EXPECT_EQ(query.getstr("target_path"), "");
    EXPECT_EQ(query.getstr("target_root"), "");
    EXPECT_EQ(query.getstr("current_path"), "t/1");
    EXPECT_EQ(query.getstr("current_root"), "/vault");
    EXPECT_EQ(query.getstr("cipher"), "new'key");
    EXPECT_EQ(query.getstr("encrypt_algo"), "CALG_AES_128");
    EXPECT_EQ(query.getval("pending_transform"), 0);
    EXPECT_EQ(query.getval("is_hidden"), 1);
    EXPECT_EQ(query.getval("is_encrypted"), 1);
    query.free_result();

    ASSERT_TRUE(query.execute(formatStatement(deleteProtectedFile, "1")));
    EXPECT_EQ(countRows(db, formatStatement(selectChildren, "folder-guid")), 2);
}
