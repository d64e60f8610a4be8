// The integrity table: every encrypted body gets a tag when it is written,
// the check, take-outs, exports and imports find a changed byte through it,
// and vaults without tags keep working and can be given them.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/Kist.h"
#include "engine/StepBoundary.h"
#include "engine/crypto/BodyTag.h"
#include "engine/crypto/FileKey.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PackageTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using namespace packagetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "tag test";

std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

// The row of a file by its own name: "current_path|cipher|unique_name".
struct BodyRow {
    std::string path;
    std::string cipher;
    std::string uniqueName;
};

BodyRow rowOf(const std::string& database, const std::string& rawName)
{
    const std::string line = firstLine(sqlcipher(
        database, "select current_path, cipher, unique_name from ProtectedFiles where raw_file_name = '" + rawName
                      + "' and is_directory = 0;"));
    const auto first = line.find('|');
    const auto second = line.find('|', first + 1);
    return {line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1)};
}

std::string tagRowOf(const std::string& database, const std::string& uniqueName)
{
    return firstLine(sqlcipher(database, "select tag from BodyTags where unique_name = '" + uniqueName + "';"));
}

std::string bodyPath(const std::string& rawName)
{
    return vaultFolder() + "/" + rowOf(vaultDatabasePath(), rawName).path;
}

void flipByte(const std::string& file, std::size_t fromEnd)
{
    std::string bytes = readFile(file);
    const std::size_t at = fromEnd == 0 ? bytes.size() / 2 : bytes.size() - fromEnd;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
    writeFile(file, bytes);
}

int boundariesLeft = 0;

// Runs operation in a child process that dies at step boundary stopAt;
// true when it died there, false when it ran to its end.
bool diesAtBoundary(const std::function<void()>& operation, int stopAt)
{
    const pid_t child = fork();
    if (child == 0) {
        boundariesLeft = stopAt;
        stepboundary::setHook([](const char*) {
            if (--boundariesLeft == 0)
                _exit(42);
        });
        try {
            operation();
        } catch (const ExceptionModule& e) {
            fprintf(stderr, "child failed: %s\n", e.getMessage().c_str());
            _exit(44);
        }
        _exit(43);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const int outcome = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    EXPECT_TRUE(outcome == 42 || outcome == 43) << outcome;
    return outcome == 42;
}

class IntegrityTags : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }

    // one.bin and two.txt at the top, album/ with three files.
    std::unique_ptr<Kist> vaultWithFiles()
    {
        auto vault = openVault(kPassword);
        const std::string source = makeScratchFolder("tagged");
        writeFile(source + "/one.bin", patternBytes(50000));
        writeFile(source + "/two.txt", patternBytes(3990));
        writeFile(source + "/album/a.jpg", patternBytes(7000));
        writeFile(source + "/album/b.jpg", patternBytes(4000));
        writeFile(source + "/album/c.jpg", patternBytes(15));
        KistFile added;
        for (const char* name : {"one.bin", "two.txt", "album"})
            vault->addFile(source + "/" + name, &added, false);
        return vault;
    }
};

} // namespace

TEST_F(IntegrityTags, EveryBodyIsTaggedUnderAKeyFromItsOwnFileKey)
{
    auto vault = vaultWithFiles();
    for (const char* name : {"one.bin", "two.txt", "a.jpg", "b.jpg", "c.jpg"}) {
        SCOPED_TRACE(name);
        const BodyRow row = rowOf(vaultDatabasePath(), name);
        const std::string tag = tagRowOf(vaultDatabasePath(), row.uniqueName);
        EXPECT_EQ(tag.size(), 64u);
        EXPECT_EQ(tag, BodyTag::ofFile(openFileKey(kPassword, row.cipher), toWide(vaultFolder() + "/" + row.path)));
    }
    EXPECT_EQ(checkFindings(*vault), "");
    const KistCheckReport report = vault->checkVault();
    EXPECT_EQ(report.bodies, 5u);
    EXPECT_TRUE(report.untagged.empty());

    // A password change re-seals the keys; the file keys and so the tags stay.
    const std::string before = tagRowOf(vaultDatabasePath(), rowOf(vaultDatabasePath(), "one.bin").uniqueName);
    vault->setPassword("another", kPassword);
    EXPECT_EQ(tagRowOf(vaultDatabasePath(), rowOf(vaultDatabasePath(), "one.bin").uniqueName), before);
    EXPECT_EQ(checkFindings(*vault), "");

    // A tag leaves with its row.
    const std::string leaving = rowOf(vaultDatabasePath(), "two.txt").uniqueName;
    (void)takeOut(*vault, "two.txt");
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from BodyTags where unique_name = '" + leaving + "';"),
              "0\n");
}

TEST_F(IntegrityTags, CheckFindsAByteChangedInTheMiddleOrNearTheEnd)
{
    auto vault = vaultWithFiles();
    // 40 bytes before the end lies in the last chunk but before the padding
    // block, where decryption alone does not notice.
    for (const std::size_t fromEnd : {std::size_t{0}, std::size_t{40}}) {
        SCOPED_TRACE(fromEnd);
        for (const auto& [name, label] : {std::pair{"one.bin", "one.bin"}, std::pair{"a.jpg", "album/a.jpg"}}) {
            const std::string body = bodyPath(name);
            const std::string original = readFile(body);
            flipByte(body, fromEnd);
            EXPECT_EQ(checkFindings(*vault), std::string("damaged: ") + label + "\n");
            writeFile(body, original);
        }
    }
    EXPECT_EQ(checkFindings(*vault), "");
}

TEST_F(IntegrityTags, TakeOutRefusesAnAlteredBodyAndDeliversTheRest)
{
    auto vault = vaultWithFiles();
    const std::string oneBody = bodyPath("one.bin");
    const std::string aBody = bodyPath("a.jpg");
    flipByte(oneBody, 40);
    flipByte(aBody, 0);
    const std::string alteredOne = readFile(oneBody);
    const std::string alteredA = readFile(aBody);
    const std::string tagsBefore = sqlcipher(vaultDatabasePath(), "select * from BodyTags order by unique_name;");

    const std::string out = makeScratchFolder("out");
    const std::string refused = errorOf([&] { vault->removeFile("one.bin", out); });
    EXPECT_NE(refused.find("damaged: one.bin"), std::string::npos) << refused;
    const std::string partly = errorOf([&] { vault->removeFile("album", out); });
    EXPECT_NE(partly.find("damaged: a.jpg"), std::string::npos) << partly;
    vault->removeFile("two.txt", out);

    // The others came out whole; no altered byte reached the destination.
    EXPECT_EQ(readFile(out + "/two.txt"), patternBytes(3990));
    EXPECT_EQ(readFile(out + "/album/b.jpg"), patternBytes(4000));
    EXPECT_EQ(readFile(out + "/album/c.jpg"), patternBytes(15));
    EXPECT_FALSE(fs::exists(out + "/one.bin"));
    EXPECT_FALSE(fs::exists(out + "/album/a.jpg"));

    // The damaged entries stay, bodies and tags as they were.
    auto again = openVault(kPassword);
    std::set<std::string> names;
    for (const Entry& entry : list(*again))
        names.insert(entry.name);
    EXPECT_TRUE(names.count("one.bin"));
    EXPECT_TRUE(names.count("album"));
    EXPECT_EQ(readFile(bodyPath("one.bin")), alteredOne);
    EXPECT_EQ(readFile(bodyPath("a.jpg")), alteredA);
    EXPECT_EQ(checkFindings(*again), "damaged: one.bin\ndamaged: album/a.jpg\n");
    EXPECT_FALSE(vaultHoldsPlainCopy({patternBytes(50000), patternBytes(7000)}));
}

TEST_F(IntegrityTags, AVaultWithoutTagsIsReportedApartAndCanBeGivenThem)
{
    auto vault = vaultWithFiles();
    // As a vault written before the table existed, or by another program.
    (void)sqlcipher(vaultDatabasePath(), "drop trigger BodyTagsAD; drop table BodyTags;");
    // A body cut short must not be given a tag.
    const std::string twoBody = bodyPath("two.txt");
    const std::string two = readFile(twoBody);
    writeFile(twoBody, two.substr(0, two.size() - 16));

    KistCheckReport report = vault->checkVault();
    EXPECT_EQ(report.findings, std::vector<std::string>{"the body does not decrypt to its recorded size: two.txt"});
    EXPECT_EQ(report.untagged.size(), 4u);
    EXPECT_EQ(report.tagsAdded, 0u);
    EXPECT_EQ(report.bodies, 4u);

    // Untagged bodies still come out, and still go in with tags.
    EXPECT_EQ(summary(takeOut(*vault, "album")).size(), 3u);

    report = vault->checkVault(true);
    EXPECT_EQ(report.tagsAdded, 1u);
    EXPECT_EQ(vault->checkVault().untagged, std::vector<std::string>{});
    EXPECT_EQ(tagRowOf(vaultDatabasePath(), rowOf(vaultDatabasePath(), "two.txt").uniqueName), "");

    writeFile(twoBody, two);
    report = vault->checkVault(true);
    EXPECT_TRUE(report.whole());
    EXPECT_EQ(report.tagsAdded, 1u);
    flipByte(bodyPath("one.bin"), 0);
    EXPECT_EQ(checkFindings(*vault), "damaged: one.bin\n");
}

TEST_F(IntegrityTags, PackagesCarryTheTagsAndRefuseAnAlteredBody)
{
    auto vault = vaultWithFiles();
    const std::string folder = makeScratchFolder("pkg");
    const std::string package = folder + "/share.kzip";
    vault->exportFiles(package, {"one.bin", "album"}, "package pw");

    // The package's database holds a tag per body, each one the tag of
    // the body as it lies in the package.
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const std::string packageDatabase = unpacked + "/" + kDatabaseName;
    for (const char* name : {"one.bin", "a.jpg", "b.jpg", "c.jpg"}) {
        SCOPED_TRACE(name);
        const BodyRow row = rowOf(packageDatabase, name);
        EXPECT_EQ(tagRowOf(packageDatabase, row.uniqueName),
                  BodyTag::ofFile(openFileKey("package pw", row.cipher), toWide(unpacked + "/" + row.path)));
    }

    // Imported whole into another vault, the tags come along.
    vault.reset();
    resetProfile();
    {
        auto other = openVault("other");
        Kist reader(package);
        ASSERT_TRUE(reader.login("package pw"));
        reader.copyFilesToVault({"one.bin", "album"}, "other");
        EXPECT_EQ(other->checkVault().untagged, std::vector<std::string>{});
        EXPECT_EQ(checkFindings(*other), "");
        EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from BodyTags;"), "4\n");
    }

    // One byte of a.jpg and of c.jpg changed inside the package (the zip
    // itself is sound): extracting and importing refuse those bodies, each
    // named in the order of the tree though they are checked at once, and
    // take the others.
    flipByte(unpacked + "/" + rowOf(packageDatabase, "a.jpg").path, 40);
    flipByte(unpacked + "/" + rowOf(packageDatabase, "c.jpg").path, 0);
    const std::string altered = folder + "/altered.kzip";
    packZip(unpacked, altered);

    resetProfile();
    auto target = openVault("target");
    Kist reader(altered);
    ASSERT_TRUE(reader.login("package pw"));
    const std::string refused = errorOf([&] { reader.copyFilesToVault({"one.bin", "album"}, "target"); });
    EXPECT_EQ(refused, "damaged: album/a.jpg\ndamaged: album/c.jpg");
    EXPECT_EQ(list(*target), (std::vector<Entry>{{"one.bin", false, 50000}}));
    EXPECT_EQ(checkFindings(*target), "");

    const std::string out = makeScratchFolder("extracted");
    const std::string extracting = errorOf([&] { reader.removeFile("album", out); });
    EXPECT_NE(extracting.find("damaged: a.jpg"), std::string::npos) << extracting;
    EXPECT_FALSE(fs::exists(out + "/album/a.jpg"));
    reader.removeFile("one.bin", out);
    EXPECT_EQ(readFile(out + "/one.bin"), patternBytes(50000));
}

TEST_F(IntegrityTags, ExportLeavesOutAnEntryWithAnAlteredBody)
{
    auto vault = vaultWithFiles();
    flipByte(bodyPath("b.jpg"), 40);
    const std::string package = makeScratchFolder("pkg") + "/share.kzip";
    const std::string refused = errorOf([&] { vault->exportFiles(package, {"one.bin", "album", "two.txt"}, "pw"); });
    EXPECT_EQ(refused, "damaged: album/b.jpg");

    // The package holds the other entries and opens as any other.
    Kist reader(package);
    ASSERT_TRUE(reader.login("pw"));
    EXPECT_EQ(list(reader), (std::vector<Entry>{{"one.bin", false, 50000}, {"two.txt", false, 3990}}));
    EXPECT_EQ(summary(takeOut(reader, "one.bin")), summary({{"one.bin", patternBytes(50000)}}));

    // A package already there may hold the body intact: it stays as it was.
    const std::string before = readFile(package);
    EXPECT_EQ(errorOf([&] { vault->exportFiles(package, {"one.bin", "album"}, "pw"); }), "damaged: album/b.jpg");
    EXPECT_EQ(readFile(package), before);

    // Every entry altered: no package at all.
    const std::string none = makeScratchFolder("pkg") + "/none.kzip";
    EXPECT_EQ(errorOf([&] { vault->exportFiles(none, {"album"}, "pw"); }), "damaged: album/b.jpg");
    EXPECT_FALSE(fs::exists(none));
    // A package of nothing (the backup of an empty vault) is still written.
    const std::string empty = makeScratchFolder("pkg") + "/empty.kzip";
    vault->exportFiles(empty, {}, "pw");
    EXPECT_TRUE(fs::exists(empty));
    // The vault is as it was.
    EXPECT_EQ(list(*vault).size(), 3u);
}

// A large body is checked while the package is written, on a thread beside
// the writing: an altered byte in its middle or near its end is caught all
// the same, and a sound one arrives whole.
TEST_F(IntegrityTags, ExportChecksALargeBodyToItsEnd)
{
    auto vault = vaultWithFiles();
    const std::string source = makeScratchFolder("large");
    const std::string large = patternBytes((std::size_t{5} << 20) + 123);
    writeFile(source + "/large.bin", large);
    KistFile added;
    vault->addFile(source + "/large.bin", &added, false);

    const std::string sound = makeScratchFolder("pkg") + "/sound.kzip";
    vault->exportFiles(sound, {"large.bin"}, "pw");
    {
        Kist reader(sound);
        ASSERT_TRUE(reader.login("pw"));
        EXPECT_EQ(summary(takeOut(reader, "large.bin")), summary({{"large.bin", large}}));
    }
    for (const std::size_t fromEnd : {std::size_t{0}, std::size_t{40}}) {
        SCOPED_TRACE(fromEnd);
        flipByte(bodyPath("large.bin"), fromEnd);
        const std::string package = makeScratchFolder("pkg") + "/altered.kzip";
        EXPECT_EQ(errorOf([&] { vault->exportFiles(package, {"one.bin", "large.bin"}, "pw"); }), "damaged: large.bin");
        Kist reader(package);
        ASSERT_TRUE(reader.login("pw"));
        EXPECT_EQ(list(reader), (std::vector<Entry>{{"one.bin", false, 50000}}));
        flipByte(bodyPath("large.bin"), fromEnd);
    }
}

// A kill between any two steps of adding or taking out never leaves a body
// with a wrong tag, nor an encrypted body without one: after the recovery
// the check finds the vault whole and every body tagged.
TEST_F(IntegrityTags, KillsBetweenStepsNeverLeaveAWrongOrMissingTag)
{
    const FreshProfile fresh(kPassword);
    for (const bool takingOut : {false, true}) {
        for (int stopAt = 1;; ++stopAt) {
            SCOPED_TRACE((takingOut ? "taking out, boundary " : "adding, boundary ") + std::to_string(stopAt));
            fresh.restore();
            const std::string source = makeScratchFolder("crash");
            writeFile(source + "/album/deep/a.jpg", patternBytes(4001));
            writeFile(source + "/c.txt", patternBytes(2000));
            {
                auto vault = openVault(kPassword);
                KistFile added;
                if (takingOut) {
                    vault->addFile(source + "/album", &added, false);
                    vault->addFile(source + "/c.txt", &added, false);
                }
            }
            const std::string out = makeScratchFolder("crash-out");
            const bool died = diesAtBoundary(
                [&] {
                    auto vault = openVault(kPassword);
                    if (takingOut) {
                        vault->removeFile("album", out);
                        vault->removeFile("c.txt", out);
                    } else {
                        vault->addFiles({source + "/album", source + "/c.txt"}, [](const KistAddOutcome&) {});
                    }
                },
                stopAt);

            auto vault = openVault(kPassword);
            (void)list(*vault);
            const KistCheckReport report = vault->checkVault();
            EXPECT_EQ(report.findings, std::vector<std::string>{});
            EXPECT_EQ(report.untagged, std::vector<std::string>{});
            EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from ProtectedFiles where is_directory = 0;"),
                      std::to_string(report.bodies) + "\n");
            if (!died)
                break;
            ASSERT_LT(stopAt, 100);
        }
    }
}

// An encryption killed after its plain source went but before its finish is
// rolled forward by the recovery, which gives the body the tag of what it
// holds, in place of whatever tag row was there.
TEST_F(IntegrityTags, RecoveryTagsTheBodyOfAnEncryptionItFinishes)
{
    {
        auto vault = vaultWithFiles();
    }
    const std::string wrongTag(64, '0');
    (void)sqlcipher(vaultDatabasePath(),
                    "update ProtectedFiles set pending_transform = 2, is_encrypted = 0, target_path = current_path, "
                    "target_root = current_root, current_path = current_path || '.plain-gone' "
                    "where raw_file_name in ('one.bin', 'b.jpg');"
                    "update BodyTags set tag = '" + wrongTag + "' where unique_name in (select unique_name from "
                    "ProtectedFiles where raw_file_name = 'one.bin');"
                    "delete from BodyTags where unique_name in (select unique_name from ProtectedFiles "
                    "where raw_file_name = 'b.jpg');");
    auto vault = openVault(kPassword);
    EXPECT_EQ(list(*vault).size(), 3u);
    for (const char* name : {"one.bin", "b.jpg"}) {
        SCOPED_TRACE(name);
        const BodyRow row = rowOf(vaultDatabasePath(), name);
        EXPECT_EQ(tagRowOf(vaultDatabasePath(), row.uniqueName),
                  BodyTag::ofFile(openFileKey(kPassword, row.cipher), toWide(vaultFolder() + "/" + row.path)));
    }
    const KistCheckReport report = vault->checkVault();
    EXPECT_EQ(report.findings, std::vector<std::string>{});
    EXPECT_EQ(report.untagged, std::vector<std::string>{});
    EXPECT_EQ(summary(takeOut(*vault, "album")).size(), 3u);
}

// A package composed in a temporary vault (the window's File Creator, the
// shell's sends) carries the tags of the copies it encrypted.
TEST_F(IntegrityTags, APackageComposedFromCopiesCarriesTheirTags)
{
    const std::string source = makeScratchFolder("compose");
    writeFile(source + "/letter.txt", patternBytes(9000));
    const std::string package = makeScratchFolder("pkg") + "/composed.kzip";
    {
        Kist composer(false);
        ASSERT_TRUE(composer.login(""));
        KistFile added;
        composer.addFile(source + "/letter.txt", &added, false);
        composer.exportFiles(package, {"letter.txt"}, "send pw");
    }
    EXPECT_EQ(readFile(source + "/letter.txt"), patternBytes(9000));
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const BodyRow row = rowOf(unpacked + "/" + kDatabaseName, "letter.txt");
    EXPECT_EQ(tagRowOf(unpacked + "/" + kDatabaseName, row.uniqueName),
              BodyTag::ofFile(openFileKey("send pw", row.cipher), toWide(unpacked + "/" + row.path)));
}
