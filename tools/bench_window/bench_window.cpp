// bench_window: measures the main window against its targets, in a scratch
// home of its own, each window scenario in a child process:
//   - unlocking a vault of many top-level entries (one in ten a folder of
//     five files): the Vault password typed and Return pressed until the
//     view is filled, and the longest the GUI thread goes without running
//     its event loop meanwhile (a 10 ms timer records the gaps), so that the
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
#include <QLineEdit>
#include <QStandardItemModel>
#include <QPushButton>

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
#include "desktop/dialogs/CKBackupRestore.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "engine/Kist.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/BenchMain.h"
#include "tools/bench_common/ChildProgram.h"
#include "tools/bench_common/ChildRun.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/Stopwatch.h"
#include "tools/bench_common/Verdict.h"
#include "tools/bench_desktop_common/BenchVault.h"
#include "tools/bench_desktop_common/DesktopBenchApp.h"
#include "tools/bench_desktop_common/GuiThreadStall.h"
#include "tools/bench_desktop_common/KistComparison.h"
#include "tools/bench_desktop_common/ManyEntriesSettings.h"
#include "ui_CKMainWindow.h"

namespace {

constexpr char kVaultPassword[] = "bench window password";
constexpr double kUnlockTargetSeconds = 1.5;
constexpr double kStallTargetMs = 100;
constexpr double kRatioTarget = 1.05;
constexpr int kLargeEntries = 4;

ManyEntriesSettings parseArguments(int argc, char** argv)
{
    return ManyEntriesSettings::parse("bench_window",
                                      "bench_window [--entries N] [--size-mib N] [--dir D] [--keep] [--quick]",
                                      "measures the main window: unlocking a large vault, backup and restore",
                                      argc, argv);
}

// In the child: the offscreen application, its file dialogs and e-mail
// prompts answered by what the scenario sets beforehand.
void application()
{
    offscreenApplication("bench_window");
    FileDialog::answerAllWithoutShowing(true);
    CKEnterEmail::answerAllWithoutShowing(true);
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
    throwIfAsked("the window failed");
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
    throwIfAsked("the window failed");
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
    throwIfAsked("the window failed");
    if (window->form()->InfoLabel->toolTip() != QStringLiteral("Restore from Local Device Successful!"))
        throw std::runtime_error("the window's restore failed");
    return result;
}

std::string backupName()
{
    return "korvelin." + Kist::getDeviceIdentity() + ".kzipbkp";
}

// A vault holding the large entries again (a restore needs an empty one).
void fillLargeEntries(const std::string& source, int entries)
{
    newVault(kVaultPassword);
    auto kist = loggedInVault(kVaultPassword);
    for (int i = 0; i < entries; ++i) {
        const std::string copy = source + "-copy/entry-" + std::to_string(i) + ".bin";
        std::filesystem::create_directories(source + "-copy");
        std::filesystem::copy_file(source + "/entry-" + std::to_string(i) + ".bin", copy,
                                   std::filesystem::copy_options::overwrite_existing);
        kist->addFile(copy, nullptr, false);
    }
}

int runBench(int argc, char** argv)
{
    const ManyEntriesSettings settings = parseArguments(argc, argv);
    if (!programAvailable("sqlcipher"))
        throw std::runtime_error("sqlcipher is needed to fill the vault (scripts/setup-deps.sh installs it)");
    ScratchFolder scratch(settings.folder, "bench-window-",
                          settings.keep ? ScratchFolder::AtEnd::keepAndPrintPath : ScratchFolder::AtEnd::remove);
    const std::string home = useDesktopScratchHome(scratch.path(), kVaultPassword);
    const std::string work = home + "/work";
    std::printf("bench_window: %d entries to unlock; %llu MiB in %d entries to back up, in %s\n\n",
                settings.entries, static_cast<unsigned long long>(settings.sizeMiB), kLargeEntries,
                scratch.path().c_str());

    fillManyEntries(work, settings.entries, kVaultPassword);
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
    KistComparison backedUp;
    const std::string kistFolder = work + "/kist-backup";
    const std::string windowFolder = work + "/window-backup";
    for (int round = 0; round < 2; ++round) {
        const auto viaKist = [&] {
            std::filesystem::create_directories(kistFolder);
            backedUp.addKist(secondsOf([&] {
                outputOfProgram({KIST_TOOL_PATH, "backup", "--to", kistFolder, "--force"});
            }));
        };
        const auto viaWindow = [&] {
            removeQuietly(windowFolder);
            std::filesystem::create_directories(windowFolder);
            const ChildResult result = runInChild("backup through the window", [&] { return backupScenario(windowFolder); });
            backedUp.addWindow(result.values.at(0), result.values.at(1));
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
    allMet = backedUp.report("backing up every entry", "kist backup", kRatioTarget, kStallTargetMs) && allMet;

    KistComparison restored;
    const std::string backupFile = windowFolder + "/" + backupName();
    for (int round = 0; round < 2; ++round) {
        const auto viaKist = [&] {
            newVault(kVaultPassword);
            settle(home);
            restored.addKist(secondsOf([&] {
                outputOfProgram({KIST_TOOL_PATH, "restore", backupFile});
            }));
        };
        const auto viaWindow = [&] {
            newVault(kVaultPassword);
            settle(home);
            const ChildResult result = runInChild("restore through the window", [&] { return restoreScenario(backupFile); });
            restored.addWindow(result.values.at(0), result.values.at(1));
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
    allMet =
        restored.report("restoring into an empty vault", "kist restore", kRatioTarget, kStallTargetMs) && allMet;
    return allMet ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    return runReportingFailure("bench_window", [&] { return runBench(argc, argv); });
}
