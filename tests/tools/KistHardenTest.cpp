// kist and hardened vaults: harden prints the recovery key once, info tells
// the format, every command works on the hardened vault, and passwd takes
// the recovery key.

#include <gtest/gtest.h>

#include <regex>

#include "tests/support/TestFiles.h"
#include "tests/tools/KistRunner.h"

using namespace kisttest;

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

TEST(KistHarden, HardensAVaultAndEveryCommandGoesOnWorking)
{
    const KistHome home("harden");
    const std::map<std::string, std::string> password{{"KIST_PASSWORD", "first"}};
    EXPECT_RUN(home.run({"passwd"}, {{"KIST_NEW_PASSWORD", "first"}}), 0);
    testsupport::writeFile(home.root + "/src/report.txt", testsupport::patternBytes(70000));
    testsupport::writeFile(home.root + "/src/later.txt", "later");
    EXPECT_RUN(home.run({"add", home.root + "/src/report.txt"}, password), 0);
    EXPECT_EQ(home.run({"info"}).out, "format: standard\nencryption: CALG_AES_128\n");

    EXPECT_RUN(home.run({"harden"}, {{"KIST_PASSWORD", "wrong"}}), 2);
    const RunResult hardened = home.run({"harden"}, password);
    EXPECT_RUN(hardened, 0);
    std::smatch key;
    ASSERT_TRUE(std::regex_search(hardened.out, key, std::regex("([A-Z2-7]{4}-){12}[A-Z2-7]{4}"))) << hardened.out;
    const std::string recoveryKey = key.str();
    EXPECT_NE(home.run({"harden"}, password).err.find("The vault is hardened already."), std::string::npos);

    const RunResult info = home.run({"info"});
    EXPECT_TRUE(std::regex_match(info.out, std::regex("format: hardened\nencryption: AES_256_GCM_CHUNKED\n"
                                                      "key derivation: Argon2id, [0-9]+ passes, 65536 KiB, 1 lane\\(s\\)\n")))
        << info.out;
    EXPECT_RUN(home.run({"list"}, {{"KIST_PASSWORD", "wrong"}}), 2);
    EXPECT_EQ(home.run({"list"}, password).out, "report.txt\tf\t70000\n");
    EXPECT_RUN(home.run({"add", home.root + "/src/later.txt"}, password), 0);
    EXPECT_EQ(home.run({"check"}, password).out, "ok: 2 records, 2 bodies\n");

    // The recovery key stands in for the forgotten password.
    EXPECT_RUN(home.run({"passwd", "--recovery-key"},
                        {{"KIST_RECOVERY_KEY", "AAAA" + recoveryKey.substr(4)}, {"KIST_NEW_PASSWORD", "second"}}),
               2);
    EXPECT_RUN(home.run({"passwd", "--recovery-key"},
                        {{"KIST_RECOVERY_KEY", recoveryKey}, {"KIST_NEW_PASSWORD", "second"}}),
               0);
    EXPECT_RUN(home.run({"list"}, password), 2);
    const RunResult out = home.run({"take-out", "--to", home.root + "/out", "report.txt", "later.txt"},
                                   {{"KIST_PASSWORD", "second"}});
    EXPECT_RUN(out, 0);
    EXPECT_EQ(testsupport::readFile(home.root + "/out/report.txt"), testsupport::patternBytes(70000));
    EXPECT_EQ(testsupport::readFile(home.root + "/out/later.txt"), "later");
}

TEST(KistHarden, AStandardVaultHasNoRecoveryKey)
{
    const KistHome home("no-recovery");
    EXPECT_RUN(home.run({"passwd"}, {{"KIST_NEW_PASSWORD", "pw"}}), 0);
    const RunResult refused = home.run({"passwd", "--recovery-key"}, {{"KIST_RECOVERY_KEY", "x"}});
    EXPECT_RUN(refused, 1);
    EXPECT_NE(refused.err.find("Only a hardened vault has a recovery key"), std::string::npos) << refused.err;
}

TEST(KistHarden, BackupAndRestoreOfAHardenedVault)
{
    const KistHome home("harden-backup");
    const std::map<std::string, std::string> password{{"KIST_PASSWORD", "vault pw"}};
    EXPECT_RUN(home.run({"passwd"}, {{"KIST_NEW_PASSWORD", "vault pw"}}), 0);
    testsupport::writeFile(home.root + "/src/secret-plan.txt", testsupport::patternBytes(80000));
    EXPECT_RUN(home.run({"add", home.root + "/src/secret-plan.txt"}, password), 0);
    EXPECT_RUN(home.run({"harden"}, password), 0);
    const RunResult backup = home.run({"backup", "--to", home.root + "/backups"}, password);
    EXPECT_RUN(backup, 0);
    const std::string file = backup.out.substr(0, backup.out.find('\n'));
    EXPECT_EQ(testsupport::readFile(file).find("secret-plan"), std::string::npos);
    // Its entries list with the backup's password, and come back after a take-out.
    EXPECT_EQ(home.run({"package", "list", file}, {{"KIST_PACKAGE_PASSWORD", "vault pw471502836"}}).out,
              "secret-plan.txt\tf\t80000\n");
    EXPECT_RUN(home.run({"take-out", "--to", home.root + "/out", "secret-plan.txt"}, password), 0);
    EXPECT_EQ(home.run({"list"}, password).out, "");
    EXPECT_RUN(home.run({"restore", file}, password), 0);
    EXPECT_EQ(home.run({"list"}, password).out, "secret-plan.txt\tf\t80000\n");
    EXPECT_EQ(home.run({"check"}, password).out, "ok: 1 records, 1 bodies\n");
}
