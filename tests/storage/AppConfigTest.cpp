#include "engine/ExceptionModule.h"
#include "engine/Strings.h"
#include "engine/storage/AppConfig.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "tests/storage/StorageTestHelpers.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

std::string configPath(const std::string& folder)
{
    return folder + "/.config";
}

// Every row of the settings table, read through a connection of its own.
std::map<std::string, std::pair<std::string, std::string>> storedRows(const std::string& folder)
{
    Database db(configPath(folder));
    Query query(db);
    std::map<std::string, std::pair<std::string, std::string>> rows;
    if (query.get_result("select * from ConfigItems")) {
        while (query.fetch_row())
            rows[query.getstr("nv_name")] = {query.getstr("nv_value"), query.getstr("update_date")};
    }
    return rows;
}

void runOn(const std::string& folder, const std::string& sql)
{
    Database db(configPath(folder));
    Query query(db);
    ASSERT_TRUE(query.execute(sql)) << query.lastError();
}

} // namespace

TEST(AppConfig, FirstLaunchCreatesTheStoreAndTheNextReadsIt)
{
    const std::string folder = testsupport::makeScratchFolder("settings");
    {
        AppConfig config(toWide(folder));
        EXPECT_TRUE(config.isFirstLaunch());
        EXPECT_EQ(config.get("Skin"), "");
        EXPECT_EQ(storagetest::fileMode(configPath(folder)), 0600);
        config.set("Skin", "Blue");
        config.set("Version", "0.31.018");
        EXPECT_EQ(config.get("Skin"), "Blue");
    }
    AppConfig again(toWide(folder));
    EXPECT_FALSE(again.isFirstLaunch());
    EXPECT_EQ(again.get("Skin"), "Blue");
    EXPECT_EQ(again.get("Version"), "0.31.018");

    Database db(configPath(folder));
    Query query(db);
    ASSERT_TRUE(query.get_result("select name, sql from sqlite_master where sql is not null order by name"));
    std::map<std::string, std::string> schema;
    while (query.fetch_row())
        schema[query.getstr("name")] = query.getstr("sql");
    EXPECT_EQ(schema,
              (std::map<std::string, std::string>{
                  {"ConfigItems", "CREATE TABLE ConfigItems(nv_name TEXT primary key, nv_value TEXT, update_date DATE)"},
                  {"configname", "CREATE INDEX configname on ConfigItems(nv_name)"},
                  {"ConfigItemsAI", "CREATE TRIGGER ConfigItemsAI AFTER INSERT ON ConfigItems BEGIN UPDATE ConfigItems "
                                    "SET update_date = DATETIME('NOW','LOCALTIME')  WHERE rowid = new.rowid; END"},
              }));
}

TEST(AppConfig, SettingTwiceUpdatesOneRowAndKeepsItsDate)
{
    const std::string folder = testsupport::makeScratchFolder("set-twice");
    AppConfig config(toWide(folder));
    config.set("RestoreFolder", "/home/a");
    auto rows = storedRows(folder);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows["RestoreFolder"].second.empty()) << "the insert is stamped";

    // A date far from now shows whether the update touches it.
    runOn(folder, "update ConfigItems set update_date = '2001-02-03 04:05:06'");
    config.set("RestoreFolder", "/home/b");
    rows = storedRows(folder);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows["RestoreFolder"], std::make_pair(std::string("/home/b"), std::string("2001-02-03 04:05:06")));
    EXPECT_EQ(config.get("RestoreFolder"), "/home/b");
}

TEST(AppConfig, GettingAMissingNameWritesNothing)
{
    const std::string folder = testsupport::makeScratchFolder("get-missing");
    {
        AppConfig config(toWide(folder));
        EXPECT_EQ(config.get("DropboxFolder"), "");
        EXPECT_EQ(config.get("DropboxFolder"), "");
    }
    EXPECT_TRUE(storedRows(folder).empty());
    AppConfig again(toWide(folder));
    EXPECT_TRUE(again.isFirstLaunch()) << "no row was ever written";
}

TEST(AppConfig, QuotesAndAnyTextSurvive)
{
    const std::string folder = testsupport::makeScratchFolder("settings-quotes");
    const std::map<std::string, std::string> settings = {
        {"Skin", "it's"},
        {"John's setting", "'"},
        {"RestoreFolder", "/home/j/KORVELIN Restored Files/\xc3\xa9t\xc3\xa9 '2024'"},
        {"DefaultPassword", "'); drop table ConfigItems; --"},
        {"pixmap", ""},
    };
    {
        AppConfig config(toWide(folder));
        for (const auto& [name, value] : settings)
            config.set(name, value);
        config.set("Skin", "it's changed");
    }
    AppConfig again(toWide(folder));
    for (const auto& [name, value] : settings)
        EXPECT_EQ(again.get(name), name == "Skin" ? "it's changed" : value) << name;
    EXPECT_EQ(storedRows(folder).size(), settings.size());
}

TEST(AppConfig, RefusedChangeIsReportedAndNotRemembered)
{
    const std::string folder = testsupport::makeScratchFolder("settings-refused");
    AppConfig config(toWide(folder));
    config.set("Skin", "Blue");
    runOn(folder, "drop table ConfigItems");
    try {
        config.set("Skin", "Green");
        FAIL() << "a change the database refused must not pass for stored";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot initialize configuration database.");
    }
    EXPECT_EQ(config.get("Skin"), "Blue");
}

TEST(AppConfig, UnusableFilesGiveClearErrorsAndStayUntouched)
{
    const std::string root = testsupport::makeScratchFolder("settings-bad");
    try {
        AppConfig config(toWide(root + "/missing folder"));
        FAIL() << "a missing folder must not open";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot connect to configuration database.");
        EXPECT_EQ(error.getCause(), "");
    }
    EXPECT_FALSE(testsupport::exists(root + "/missing folder"));

    const std::string garbage = testsupport::patternBytes(3000);
    testsupport::writeFile(configPath(root), garbage);
    try {
        AppConfig config(toWide(root));
        FAIL() << "a file that is not a database must not open";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot initialize configuration database.");
    }
    EXPECT_EQ(testsupport::readFile(configPath(root)), garbage);
}
