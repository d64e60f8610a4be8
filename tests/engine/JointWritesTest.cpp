#include "engine/ProtectedFile.h"
#include "engine/Transforms.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "engine/storage/Transaction.h"
#include "engine/storage/VaultSchema.h"
#include "tests/support/ScratchHome.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace {

// A record moved into the vault whose move is planned and performed: the
// state the add's finish meets.
std::unique_ptr<ProtectedFile> movedIn(Query& query, const nocase_wstring& name)
{
    auto record = std::make_unique<ProtectedFile>();
    record->display_name = name;
    record->raw_file_name = name;
    record->unique_name = name;
    record->current_path = L"home/" + name;
    record->current_root = L"/";
    record->target_path = name;
    record->target_root = L"/vault";
    record->size = 7;
    record->pending_transform = MoveIntoVault;
    record->insertRow(query);
    return record;
}

long changeCount(Query& query)
{
    EXPECT_TRUE(query.get_result(vaultschema::selectChangeCount));
    EXPECT_TRUE(query.fetch_row());
    const long count = std::stol(query.getstr("nv_value"));
    query.free_result();
    return count;
}

std::map<std::string, std::string> rowOf(Query& query, const std::string& name)
{
    std::map<std::string, std::string> row;
    EXPECT_TRUE(query.get_result("select * from ProtectedFiles where unique_name = '" + name + "'"));
    EXPECT_TRUE(query.fetch_row());
    for (const char* column :
         {"current_path", "target_path", "target_root", "pending_transform", "is_hidden", "cipher"})
        row[column] = query.getstr(column);
    query.free_result();
    return row;
}

} // namespace

TEST(JointWrites, AFinishAndTheNextPlanWriteEachRowOnceAndNoSettledRowIsLost)
{
    Database db(testsupport::makeScratchFolder("joint-writes") + "/" + vaultschema::databaseFileName);
    Query query(db);
    std::map<std::string, std::string> settings;
    createVaultSchema(query, "da39a3ee5e6b4b0d3255bfef95601890afd80709", settings);
    ASSERT_TRUE(query.execute(vaultschema::insertChangeCount));
    for (const char* trigger : vaultschema::createChangeCountTriggers)
        ASSERT_TRUE(query.execute(trigger));
    const auto planned = movedIn(query, L"planned");
    const auto settledOnly = movedIn(query, L"settled");
    Transforms transforms(query, EngineKind::UserVault);

    // A transaction that never commits: nothing held is written, not even
    // after it, and the next finish writes at once again.
    const long before = changeCount(query);
    {
        Transaction transaction(query);
        Transforms::JointWrites joint(transforms);
        transforms.finishMove(*settledOnly, true);
    }
    EXPECT_EQ(changeCount(query), before);
    EXPECT_EQ(rowOf(query, "settled")["pending_transform"], std::to_string(MoveIntoVault));
    settledOnly->pending_transform = MoveIntoVault;
    settledOnly->target_path = L"settled";
    settledOnly->target_root = L"/vault";

    {
        Transaction transaction(query);
        Transforms::JointWrites joint(transforms);
        transforms.finishMove(*planned, true);
        transforms.finishMove(*settledOnly, true);
        transforms.planCrypt(*planned, L"/vault", L"planned-body", "sealing text", "CALG_AES_128", true);
        joint.write();
        transaction.commit();
    }
    // One write a row: the plan took the finish of its row along.
    EXPECT_EQ(changeCount(query), before + 2);
    const auto plannedRow = rowOf(query, "planned");
    EXPECT_EQ(plannedRow.at("pending_transform"), std::to_string(Encrypting));
    EXPECT_EQ(plannedRow.at("is_hidden"), "1");
    EXPECT_EQ(plannedRow.at("current_path"), "planned");
    EXPECT_EQ(plannedRow.at("target_path"), "planned-body");
    EXPECT_FALSE(plannedRow.at("cipher").empty());
    // The row no plan took up is written with its finish alone.
    const auto settledRow = rowOf(query, "settled");
    EXPECT_EQ(settledRow.at("pending_transform"), std::to_string(NothingPending));
    EXPECT_EQ(settledRow.at("is_hidden"), "1");
    EXPECT_EQ(settledRow.at("current_path"), "settled");
    EXPECT_EQ(settledRow.at("target_path"), "");

    // Outside a joint write, a finish is written at once.
    settledOnly->pending_transform = MoveIntoVault;
    settledOnly->target_path = L"moved again";
    {
        Transaction transaction(query);
        transforms.finishMove(*settledOnly, true);
        transaction.commit();
    }
    EXPECT_EQ(rowOf(query, "settled")["current_path"], "moved again");
}
