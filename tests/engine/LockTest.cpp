#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "engine/Kist.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "engine/VaultOperations.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr char kInUse[] = "The vault is in use by another KORVELIN program. Try again when it has finished.";

// A pipe whose ends close with the object.
struct Pipe {
    int ends[2] = {-1, -1};
    Pipe()
    {
        if (::pipe(ends) != 0)
            throw std::runtime_error("pipe");
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    void closeRead()
    {
        if (ends[0] >= 0)
            ::close(ends[0]);
        ends[0] = -1;
    }
    void closeWrite()
    {
        if (ends[1] >= 0)
            ::close(ends[1]);
        ends[1] = -1;
    }
    // Blocks until one byte arrives or the writer is gone.
    bool awaitByte()
    {
        char byte = 0;
        return ::read(ends[0], &byte, 1) == 1;
    }
    void sendByte()
    {
        const char byte = 1;
        if (::write(ends[1], &byte, 1) != 1)
            _exit(3);
    }
};

// A child process that holds the vault's lock file the way another program
// of the system does, until told to let go (or killed).
class LockHolder {
public:
    explicit LockHolder(const std::string& lockFile)
    {
        pid = ::fork();
        if (pid == 0) {
            held.closeRead();
            release.closeWrite();
            const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT, 0600);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
                _exit(2);
            held.sendByte();
            release.awaitByte(); // returns when the parent closes its end
            _exit(0);
        }
        held.closeWrite();
        release.closeRead();
        if (pid < 0 || !held.awaitByte())
            throw std::runtime_error("the lock holder did not start");
    }
    ~LockHolder() { letGo(); }

    void letGo()
    {
        if (pid <= 0)
            return;
        release.closeWrite();
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
    void kill()
    {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
    bool hasExited()
    {
        int status = 0;
        return ::waitpid(pid, &status, WNOHANG) == pid;
    }

private:
    pid_t pid = -1;
    Pipe held;
    Pipe release;
};

// Signals the parent once the add holds the lock, then waits for its word.
class PausingObserver : public KistProgress {
public:
    PausingObserver(Pipe& heldPipe, Pipe& goPipe)
        : held(heldPipe)
        , go(goPipe)
    {
    }
    void progress(const KistProgressState&) override
    {
        if (paused)
            return;
        paused = true;
        held.sendByte();
        go.awaitByte();
    }

private:
    Pipe& held;
    Pipe& go;
    bool paused = false;
};

} // namespace

class Locking : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        openVault("pw").reset(); // the vault exists, with its password
        savedWait = VaultLock::waitMilliseconds;
        VaultLock::waitMilliseconds = 300;
        source = makeScratchFolder("src");
        out = makeScratchFolder("out");
    }
    void TearDown() override { VaultLock::waitMilliseconds = savedWait; }

    std::string lockFile() const { return vaultFolder() + "/.lock"; }

    int savedWait = 0;
    std::string source;
    std::string out;
};

TEST_F(Locking, SecondProgramGivesUpWithAClearMessageAndLosesNothing)
{
    writeFile(source + "/mine.txt", "mine");
    writeFile(source + "/stored.txt", "stored");
    auto kist = openVault("pw");
    KistFile added;
    kist->addFile(source + "/stored.txt", &added, false);
    const auto vaultBefore = tree(vaultFolder());
    const std::string temp = std::getenv("TMPDIR");
    const auto tempBefore = tree(temp);

    LockHolder holder(lockFile());
    EXPECT_EQ(errorOf([&] { kist->addFile(source + "/mine.txt", &added, false); }), kInUse);
    EXPECT_EQ(readFile(source + "/mine.txt"), "mine");
    EXPECT_EQ(errorOf([&] { kist->removeFile("stored.txt", out); }), kInUse);
    EXPECT_EQ(errorOf([&] { list(*kist); }), kInUse);
    EXPECT_EQ(errorOf([&] { kist->setPassword("other", "pw"); }), kInUse);
    EXPECT_EQ(errorOf([&] { kist->exportFiles(out + "/p.kzip", {"stored.txt"}, "x"); }), kInUse);
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_EQ(tree(temp), tempBefore);
    EXPECT_EQ(tree(vaultFolder()), vaultBefore);

    holder.letGo();
    kist->addFile(source + "/mine.txt", &added, false);
    kist->removeFile("stored.txt", out);
    EXPECT_EQ(readFile(out + "/stored.txt"), "stored");
    EXPECT_TRUE(kist->login("pw")); // the refused password change changed nothing
}

TEST_F(Locking, WaitsForAHolderThatFinishesInTime)
{
    VaultLock::waitMilliseconds = 20000;
    writeFile(source + "/late.txt", "late");
    auto kist = openVault("pw");
    LockHolder holder(lockFile());
    std::thread letGoSoon([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        holder.letGo();
    });
    KistFile added;
    kist->addFile(source + "/late.txt", &added, false);
    letGoSoon.join();
    EXPECT_EQ(list(*kist).size(), 1u);
}

TEST_F(Locking, AKilledHolderLeavesNoLockBehind)
{
    writeFile(source + "/after.txt", "after");
    auto kist = openVault("pw");
    LockHolder holder(lockFile());
    KistFile added;
    EXPECT_EQ(errorOf([&] { kist->addFile(source + "/after.txt", &added, false); }), kInUse);
    holder.kill();
    kist->addFile(source + "/after.txt", &added, false);
    EXPECT_EQ(list(*kist).size(), 1u);
}

TEST_F(Locking, AnotherProgramAddingKeepsThisOneOutUntilItIsDone)
{
    writeFile(source + "/big.bin", patternBytes(3 * 1024 * 1024));
    writeFile(source + "/small.txt", "small");
    Pipe held;
    Pipe go;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 1;
        try {
            PausingObserver observer(held, go);
            Kist other(true);
            if (other.login("pw")) {
                other.setProgressObserver(&observer);
                KistFile added;
                other.addFile(source + "/big.bin", &added, false);
                status = 0;
            }
        } catch (...) {
            status = 4;
        }
        _exit(status);
    }
    held.closeWrite();
    go.closeRead();
    ASSERT_TRUE(held.awaitByte()); // the child is inside its add, holding the lock

    {
        auto kist = openVault("pw");
        KistFile added;
        EXPECT_EQ(errorOf([&] { kist->addFile(source + "/small.txt", &added, false); }), kInUse);
        EXPECT_EQ(readFile(source + "/small.txt"), "small");

        go.sendByte();
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);

        kist->addFile(source + "/small.txt", &added, false);
        EXPECT_EQ(list(*kist), (std::vector<Entry>{{"big.bin", false, 3 * 1024 * 1024}, {"small.txt", false, 5}}));
        kist->removeFile("big.bin", out);
    }
    EXPECT_EQ(readFile(out + "/big.bin"), patternBytes(3 * 1024 * 1024));
}

TEST_F(Locking, NestedLocksOfOneEngineAreFreeButKeepOtherEnginesOut)
{
    writeFile(source + "/inner.txt", "inner");
    writeFile(source + "/outer.txt", "outer");
    VaultEngine engine(EngineKind::UserVault);
    ASSERT_TRUE(engine.login("pw"));
    auto other = openVault("pw");
    KistFile added;
    {
        VaultLock outer(engine);
        VaultLock inner(engine);
        EXPECT_EQ(engine.lockDepth, 2);
        VaultOperations(engine).addFile(toWide(source + "/inner.txt"), added, false);
        EXPECT_EQ(engine.lockDepth, 2);
        // A second engine, even in this process, waits for the first.
        EXPECT_EQ(errorOf([&] { other->addFile(source + "/outer.txt", &added, false); }), kInUse);
    }
    EXPECT_EQ(engine.lockDepth, 0);
    EXPECT_EQ(engine.lockDescriptor, -1);
    other->addFile(source + "/outer.txt", &added, false);
    EXPECT_EQ(list(*other).size(), 2u);
}

TEST_F(Locking, TemporaryVaultsTakeNoLock)
{
    writeFile(source + "/draft.txt", "draft");
    LockHolder holder(lockFile());
    Kist temporary(false);
    ASSERT_TRUE(temporary.isEmptyPassword());
    KistFile added;
    temporary.addFile(source + "/draft.txt", &added, false);
    temporary.removeFile("draft.txt", out);
    EXPECT_EQ(readFile(out + "/draft.txt"), "draft");
}
