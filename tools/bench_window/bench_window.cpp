// bench_window: measures the main window against its targets, in a scratch
// home of its own, each window scenario in a child process:
//   - unlocking a vault of many top-level entries (one in ten a folder of
//     five files): the Vault password typed and Return pressed until the
//     view is filled, and the longest the GUI thread goes without running
//     its event loop meanwhile (a 5 ms timer records the gaps), so that the
//     cover's slide keeps the display's pace;
//   - a backup of every entry of a vault of large entries through the backup
//     dialog against `kist backup`, and its restore into an empty vault
//     through the restore dialog against `kist restore`.
//
//   bench_window [--entries N] [--size-mib N] [--dir D] [--keep] [--quick]
//
// Defaults: 20000 entries, 1024 MiB in 4 entries, $TMPDIR (else /var/tmp).
// --quick is --entries 2000 --size-mib 64. The vault of many entries is made
// by copying the rows of a seed file and a seed folder in the vault database.
// Exit status 0 when every target is met, 2 when one is missed, 1 on failure.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QStandardItemModel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/FileDialog.h"
#include "desktop/MessageBox.h"
#include "desktop/Resources.h"
#include "desktop/dialogs/CKBackupRestore.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "engine/Kist.h"
#include "engine/storage/VaultSchema.h"
#include "tools/bench_common/BenchArguments.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/BenchMain.h"
#include "tools/bench_common/ChildProgram.h"
#include "tools/bench_common/ChildRun.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/ScratchHome.h"
#include "tools/bench_common/Stopwatch.h"
#include "tools/bench_common/Verdict.h"
#include "ui_CKMainWindow.h"

namespace {

constexpr char kVaultPassword[] = "bench window password";
constexpr double kUnlockTargetSeconds = 1.5;
constexpr double kStallTargetMs = 100;
constexpr double kRatioTarget = 1.05;
constexpr int kLargeEntries = 4;
constexpr int kFilesPerFolder = 5;
constexpr int kTimerMs = 5;

struct Settings {
    int entries = 20000;
    std::uint64_t sizeMiB = 1024;
    std::string folder = defaultScratchParent();
    bool keep = false;
};

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    BenchArguments arguments("bench_window", "bench_window [--entries N] [--size-mib N] [--dir D] [--keep] [--quick]",
                             "measures the main window: unlocking a large vault, backup and restore", argc, argv);
    while (arguments.next()) {
        const std::string& option = arguments.option();
        if (option == "--entries")
            settings.entries = static_cast<int>(arguments.positiveNumber());
        else if (option == "--size-mib")
            settings.sizeMiB = arguments.positiveNumber();
        else if (option == "--dir")
            settings.folder = arguments.value();
        else if (option == "--keep")
            settings.keep = true;
        else if (option == "--quick") {
            settings.entries = 2000;
            settings.sizeMiB = 64;
        } else
            arguments.rejectOption();
    }
    return settings;
}

std::string vaultFolder()
{
    return std::string(std::getenv("XDG_DATA_HOME")) + "/kist";
}

// A new, empty vault with the bench password.
void newVault()
{
    std::filesystem::remove_all(vaultFolder());
    Kist(true).setPassword(kVaultPassword, "");
}

// Runs statements on the vault database through the sqlcipher shell.
std::string sqlcipher(const std::string& statements)
{
    QProcess shell;
    shell.start(QStringLiteral("sqlcipher"),
                {QStringLiteral("-batch"), QString::fromStdString(vaultFolder() + "/" + vaultschema::databaseFileName)});
    if (!shell.waitForStarted())
        throw std::runtime_error("cannot start sqlcipher");
    const std::string script =
        std::string("PRAGMA key='") + vaultschema::connectionKey + "';\n.bail on\n" + statements + "\n;\n";
    shell.write(script.c_str());
    shell.closeWriteChannel();
    if (!shell.waitForFinished(600000) || shell.exitCode() != 0)
        throw std::runtime_error("sqlcipher failed: " + shell.readAllStandardError().toStdString());
    std::string output = shell.readAllStandardOutput().toStdString();
    if (output.rfind("ok\n", 0) == 0)
        output.erase(0, 3);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    return output;
}

constexpr char kColumns[] = "current_path, display_name, raw_file_name, unique_name, is_directory, volume, size, "
                            "lock_date, cipher, encrypt_algo, parent, target_path, current_root, target_root, "
                            "is_hidden, is_encrypted, pending_transform";

std::string copiedRow(const std::string& displayName, const std::string& uniqueName, const std::string& parent)
{
    return "current_path, " + displayName + ", raw_file_name, " + uniqueName + ", is_directory, volume, size, "
           "lock_date, cipher, encrypt_algo, " + parent + ", target_path, current_root, target_root, is_hidden, "
           "is_encrypted, pending_transform";
}

// A vault of entries top-level entries, one in ten a folder of five files.
void fillManyEntries(const std::string& work, int entries)
{
    newVault();
    {
        Kist kist(true);
        if (!kist.login(kVaultPassword))
            throw std::runtime_error("the bench vault does not open with its password");
        std::filesystem::create_directories(work + "/seed folder");
        createPatternFile(work + "/seed.txt", 2000);
        for (int i = 1; i <= kFilesPerFolder; ++i)
            createPatternFile(work + "/seed folder/photo " + std::to_string(i) + ".jpg", 3000, i);
        kist.addFile(work + "/seed.txt", nullptr, false);
        kist.addFile(work + "/seed folder", nullptr, false);
    }
    const int folders = std::max(1, entries / 10);
    const int files = std::max(1, entries - folders);
    const std::string seedFile = sqlcipher("select unique_name from ProtectedFiles where display_name='seed.txt';");
    const std::string seedFolder =
        sqlcipher("select unique_name from ProtectedFiles where display_name='seed folder';");
    if (seedFile.empty() || seedFolder.empty())
        throw std::runtime_error("the seed entries are not in the vault database");
    const auto upTo = [](int last) {
        return "with recursive n(i) as (select 1 union all select i + 1 from n where i < " + std::to_string(last) +
               ") ";
    };
    std::string sql = "begin;\n";
    sql += "insert into ProtectedFiles (" + std::string(kColumns) + ") " + upTo(files - 1) + "select " +
           copiedRow("'file ' || printf('%05d', i) || '.txt'", "unique_name || '-' || i", "parent") +
           " from ProtectedFiles, n where unique_name = '" + seedFile + "';\n";
    sql += "insert into ProtectedFiles (" + std::string(kColumns) + ") " + upTo(folders - 1) + "select " +
           copiedRow("'folder ' || printf('%05d', i)", "unique_name || '-' || i", "parent") +
           " from ProtectedFiles, n where unique_name = '" + seedFolder + "';\n";
    sql += "insert into ProtectedFiles (" + std::string(kColumns) + ") " + upTo(folders - 1) + "select " +
           copiedRow("display_name", "unique_name || '-' || i", "parent || '-' || i") +
           " from ProtectedFiles, n where parent = '" + seedFolder + "';\n";
    sql += "commit;\n";
    sqlcipher(sql);
}

QApplication& application()
{
    static int argc = 1;
    static char name[] = "bench_window";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    vaultdesk::registerResources();
    MessageBox::answerAllWithoutShowing(true);
    FileDialog::answerAllWithoutShowing(true);
    CKEnterEmail::answerAllWithoutShowing(true);
    return app;
}

// Runs step while a timer on the GUI thread notes the longest time between
// two of its ticks; returns the seconds and that gap in milliseconds.
std::vector<double> timedOnGuiThread(const std::function<void()>& step)
{
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer timer;
    timer.setInterval(kTimerMs);
    QObject::connect(&timer, &QTimer::timeout, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    timer.start();
    sinceTick.start();
    const double seconds = secondsOf(step);
    longestGap = std::max(longestGap, sinceTick.elapsed());
    timer.stop();
    if (!MessageBox::asked().isEmpty())
        throw std::runtime_error("the window failed: " + MessageBox::lastAsked().text.toStdString());
    return {seconds, static_cast<double>(longestGap)};
}

// In the child: a shown, locked vault window, as the program starts.
std::unique_ptr<CKMainWindow> lockedWindow(Kist& kist)
{
    auto window = std::make_unique<CKMainWindow>(&kist, VaultMode);
    window->setVaultMode(true);
    window->setQuitAction([] {});
    window->show();
    QApplication::processEvents();
    return window;
}

std::vector<double> unlockScenario()
{
    application();
    Kist kist(true);
    auto window = lockedWindow(kist);
    window->form()->password->setText(QString::fromLatin1(kVaultPassword));
    std::vector<double> result =
        timedOnGuiThread([&] { QMetaObject::invokeMethod(window.get(), &CKMainWindow::passwordReturn_Pressed); });
    if (!window->isUnlocked())
        throw std::runtime_error("the window did not unlock");
    result.push_back(static_cast<double>(window->vaultView()->itemModel()->rowCount()));
    return result;
}

void unlock(CKMainWindow& window)
{
    window.form()->password->setText(QString::fromLatin1(kVaultPassword));
    window.passwordReturn_Pressed();
    if (!window.isUnlocked())
        throw std::runtime_error("the window did not unlock");
}

std::vector<double> backupScenario(const std::string& folder)
{
    application();
    Kist kist(true);
    auto window = lockedWindow(kist);
    unlock(*window);
    FileDialog::setNextDirName(QString::fromStdString(folder));
    CKBackupRestore* dialog = window->backupRestoreDialog();
    dialog->setMode(CKBackupRestore::Backup);
    dialog->findChild<QComboBox*>(QStringLiteral("optionsComboBox"))->setCurrentText(QStringLiteral("Local Device"));
    std::vector<double> result = timedOnGuiThread([&] { dialog->okButtonClicked(); });
    if (window->form()->InfoLabel->toolTip() != QStringLiteral("Backup to Local Device Successful!"))
        throw std::runtime_error("the window's backup failed");
    return result;
}

std::vector<double> restoreScenario(const std::string& file)
{
    application();
    Kist kist(true);
    auto window = lockedWindow(kist);
    unlock(*window);
    FileDialog::setNextFileName(QString::fromStdString(file));
    CKEnterEmail::setNextAnswers({QString::fromLatin1(kVaultPassword)});
    CKBackupRestore* dialog = window->backupRestoreDialog();
    dialog->setMode(CKBackupRestore::Restore);
    dialog->findChild<QComboBox*>(QStringLiteral("optionsComboBox"))->setCurrentText(QStringLiteral("Local Device"));
    std::vector<double> result = timedOnGuiThread([&] { dialog->okButtonClicked(); });
    if (window->form()->InfoLabel->toolTip() != QStringLiteral("Restore from Local Device Successful!"))
        throw std::runtime_error("the window's restore failed");
    return result;
}

struct Comparison {
    double bestKist = 1e300;
    double bestWindow = 1e300;
    double longestStall = 0;
};

bool report(const char* what, const char* kistCommand, const Comparison& result)
{
    const double ratio = result.bestWindow / result.bestKist;
    const bool ratioMet = ratio <= kRatioTarget;
    const bool stallMet = result.longestStall <= kStallTargetMs;
    std::printf("%-34s window %.2f s, %s %.2f s (best of 2 each)\n", what, result.bestWindow, kistCommand,
                result.bestKist);
    std::printf("%-34s %.2fx   target <= %.2fx: %s\n", "  window against kist", ratio, kRatioTarget,
                verdict(ratioMet));
    std::printf("%-34s %.0f ms   target <= %.0f ms: %s\n\n", "  longest GUI-thread stall", result.longestStall,
                kStallTargetMs, verdict(stallMet));
    return ratioMet && stallMet;
}

std::string backupName()
{
    return "korvelin." + Kist::getDeviceIdentity() + ".kzipbkp";
}

// A vault holding the large entries again (a restore needs an empty one).
void fillLargeEntries(const std::string& source, int entries)
{
    newVault();
    Kist kist(true);
    if (!kist.login(kVaultPassword))
        throw std::runtime_error("the bench vault does not open with its password");
    for (int i = 0; i < entries; ++i) {
        const std::string copy = source + "-copy/entry-" + std::to_string(i) + ".bin";
        std::filesystem::create_directories(source + "-copy");
        std::filesystem::copy_file(source + "/entry-" + std::to_string(i) + ".bin", copy,
                                   std::filesystem::copy_options::overwrite_existing);
        kist.addFile(copy, nullptr, false);
    }
}

int runBench(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    if (!programAvailable("sqlcipher"))
        throw std::runtime_error("sqlcipher is needed to fill the vault (scripts/setup-deps.sh installs it)");
    ScratchFolder scratch(settings.folder, "bench-window-",
                          settings.keep ? ScratchFolder::AtEnd::keepAndPrintPath : ScratchFolder::AtEnd::remove);
    const std::string home = scratch.path() + "/home";
    const std::string work = home + "/work";
    useScratchHome(home, scratch.path() + "/tmp");
    const std::string runtime = scratch.path() + "/runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KIST_PASSWORD", kVaultPassword, 1);
    std::printf("bench_window: %d entries to unlock; %llu MiB in %d entries to back up, in %s\n\n",
                settings.entries, static_cast<unsigned long long>(settings.sizeMiB), kLargeEntries,
                scratch.path().c_str());

    fillManyEntries(work, settings.entries);
    settle(home);
    double bestUnlock = 1e300;
    double unlockStall = 0;
    double rows = 0;
    for (int round = 0; round < 2; ++round) {
        const ChildResult unlocked = runInChild("unlock", unlockScenario);
        bestUnlock = std::min(bestUnlock, unlocked.values.at(0));
        unlockStall = std::max(unlockStall, unlocked.values.at(1));
        rows = unlocked.values.at(2);
    }
    const bool unlockMet = bestUnlock < kUnlockTargetSeconds;
    const bool unlockStallMet = unlockStall <= kStallTargetMs;
    bool allMet = unlockMet && unlockStallMet;
    std::printf("%-34s %.0f top-level entries listed\n", "unlocking the vault", rows);
    std::printf("%-34s %.3f s (best of 2)   target < %.1f s: %s\n", "  password to filled view", bestUnlock,
                kUnlockTargetSeconds, verdict(unlockMet));
    std::printf("%-34s %.0f ms   target <= %.0f ms: %s\n\n", "  longest GUI-thread stall", unlockStall,
                kStallTargetMs, verdict(unlockStallMet));

    const std::uint64_t entrySize = settings.sizeMiB * kMiB / kLargeEntries;
    const std::string source = work + "/large";
    std::filesystem::create_directories(source);
    for (int i = 0; i < kLargeEntries; ++i)
        createPatternFile(source + "/entry-" + std::to_string(i) + ".bin", entrySize, static_cast<unsigned>(i));
    fillLargeEntries(source, kLargeEntries);
    settle(home);

    // Two rounds, alternating, so neither side always meets a warmer disk.
    Comparison backedUp;
    const std::string kistFolder = work + "/kist-backup";
    const std::string windowFolder = work + "/window-backup";
    for (int round = 0; round < 2; ++round) {
        const auto viaKist = [&] {
            std::filesystem::create_directories(kistFolder);
            backedUp.bestKist = std::min(backedUp.bestKist, secondsOf([&] {
                outputOfProgram({KIST_TOOL_PATH, "backup", "--to", kistFolder, "--force"});
            }));
        };
        const auto viaWindow = [&] {
            removeQuietly(windowFolder);
            std::filesystem::create_directories(windowFolder);
            const ChildResult result = runInChild("backup through the window", [&] { return backupScenario(windowFolder); });
            backedUp.bestWindow = std::min(backedUp.bestWindow, result.values.at(0));
            backedUp.longestStall = std::max(backedUp.longestStall, result.values.at(1));
        };
        if (round == 0) {
            viaKist();
            settle(home);
            viaWindow();
        } else {
            viaWindow();
            settle(home);
            viaKist();
        }
        settle(home);
    }
    allMet = report("backing up every entry", "kist backup", backedUp) && allMet;

    Comparison restored;
    const std::string backupFile = windowFolder + "/" + backupName();
    for (int round = 0; round < 2; ++round) {
        const auto viaKist = [&] {
            newVault();
            settle(home);
            restored.bestKist = std::min(restored.bestKist, secondsOf([&] {
                outputOfProgram({KIST_TOOL_PATH, "restore", backupFile});
            }));
        };
        const auto viaWindow = [&] {
            newVault();
            settle(home);
            const ChildResult result = runInChild("restore through the window", [&] { return restoreScenario(backupFile); });
            restored.bestWindow = std::min(restored.bestWindow, result.values.at(0));
            restored.longestStall = std::max(restored.longestStall, result.values.at(1));
        };
        if (round == 0) {
            viaKist();
            viaWindow();
        } else {
            viaWindow();
            viaKist();
        }
    }
    // The last restore must have brought every entry back whole.
    {
        const std::string out = work + "/check";
        std::filesystem::create_directories(out);
        Kist kist(true);
        if (!kist.login(kVaultPassword))
            throw std::runtime_error("the restored vault does not open with its password");
        for (int i = 0; i < kLargeEntries; ++i) {
            const std::string name = "entry-" + std::to_string(i) + ".bin";
            kist.removeFile(name, out);
            if (!holdsPattern(out + "/" + name, entrySize, static_cast<unsigned>(i)))
                throw std::runtime_error("restored wrongly: " + name);
        }
    }
    allMet = report("restoring into an empty vault", "kist restore", restored) && allMet;
    return allMet ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    return runReportingFailure("bench_window", [&] { return runBench(argc, argv); });
}
