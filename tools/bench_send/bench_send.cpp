// bench_send: measures taking out and exporting through the desktop window
// against the kist tool, in a scratch home of its own, each window scenario
// in a child process:
//   - exporting every entry of a vault into one package: the window's
//     export (VaultSender::exportAll) against `kist export`;
//   - taking every entry out into a folder: the window's take-out
//     (VaultSender::takeOutAll) against `kist take-out`;
// and for the window, the longest the GUI thread goes without running its
// event loop (a 10 ms timer records the gaps).
//
//   bench_send [--size-mib N] [--entries N] [--only export|take-out] [--dir D] [--keep] [--quick]
//
// Defaults: 1024 MiB in 4 entries, both scenarios, $TMPDIR (else /var/tmp).
// --quick is --size-mib 64. Exit status 0 when every target is met, 2 when one is
// missed, 1 on failure.
#include <QApplication>
#include <QCheckBox>

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
#include "desktop/ElidedLabel.h"
#include "desktop/SendHost.h"
#include "desktop/StatusProgress.h"
#include "desktop/VaultSender.h"
#include "desktop/VaultViewHost.h"
#include "engine/Kist.h"
#include "tools/bench_common/BenchArguments.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/BenchMain.h"
#include "tools/bench_common/ChildProgram.h"
#include "tools/bench_common/ChildRun.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/Stopwatch.h"
#include "tools/bench_desktop_common/BenchVault.h"
#include "tools/bench_desktop_common/DesktopBenchApp.h"
#include "tools/bench_desktop_common/GuiThreadStall.h"
#include "tools/bench_desktop_common/KistComparison.h"

namespace {

constexpr char kVaultPassword[] = "bench send password";
constexpr char kPackagePassword[] = "bench package password";
constexpr double kStallTargetMs = 100;
constexpr double kRatioTarget = 1.05;
// Rounds, each a run of both sides back to back, alternating which goes
// first: the disk of a virtual machine varies by a third from one minute to
// the next, and whichever side writes second in a round meets the host
// still writing the first one's gigabyte: three rounds in each order.
constexpr int kRounds = 6;

struct Settings {
    std::uint64_t sizeMiB = 1024;
    int entries = 4;
    std::string only; // empty: every scenario
    std::string folder = defaultScratchParent();
    bool keep = false;
};

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    BenchArguments arguments("bench_send",
                             "bench_send [--size-mib N] [--entries N] [--only export|take-out] [--dir D] [--keep] "
                             "[--quick]",
                             "measures taking out and exporting through the desktop window against kist", argc,
                             argv);
    while (arguments.next()) {
        const std::string& option = arguments.option();
        if (option == "--size-mib")
            settings.sizeMiB = arguments.positiveNumber();
        else if (option == "--entries")
            settings.entries = static_cast<int>(arguments.positiveNumber());
        else if (option == "--only") {
            settings.only = arguments.value();
            if (settings.only != "export" && settings.only != "take-out")
                throw std::runtime_error("--only takes export or take-out");
        } else if (option == "--dir")
            settings.folder = arguments.value();
        else if (option == "--keep")
            settings.keep = true;
        else if (option == "--quick")
            settings.sizeMiB = 64;
        else
            arguments.rejectOption();
    }
    return settings;
}

// The window around the vault view, as far as taking out and sending need it.
class BenchWindow : public QWidget, public VaultViewHost, public SendHost {
public:
    explicit BenchWindow(Kist* engine)
        : status(new ElidedLabel(this)), progress(new StatusProgress(this))
    {
        resize(420, 350);
        status->setGeometry(30, 320, 371, 20);
        progress->setGeometry(30, 298, 371, 20);
        view = new CKDropBox(this, this, engine, status);
        view->move(150, 46);
        sender = new VaultSender(*view, *engine, *this, *this, this);
    }

    WindowMode windowMode() const override { return VaultMode; }
    void setSelectAllChecked(bool) override {}
    void updateSelectionState() override {}
    ProgressDisplay* progressDisplay() override { return progress; }

    void saveToFolder(const QString&, const QString&, const QString&, PackageForm) override {}
    void sendToDropbox(const QString&, const QString&, const QString&, PackageForm) override {}
    void sendByEmail(const QString&, const QString&, PackageForm) override {}
    void setStatusLine(const QString& text) override { view->setStatus(text); }
    QString vaultPassword() const override { return QString::fromLatin1(kVaultPassword); }
    void keepVaultPassword(const QString&) override {}
    CKDefaultsOffPwd* passwordDialog() override { return nullptr; }
    CKDefaultOffPwdSystem* saveToComputerDialog() override { return nullptr; }
    QWidget* hostWidget() override { return this; }

    ElidedLabel* status;
    StatusProgress* progress;
    CKDropBox* view = nullptr;
    VaultSender* sender = nullptr;
};

// In the child: runs step on a shown window's sender while a timer on the
// GUI thread notes the longest time between two of its ticks; returns the
// seconds and that gap in milliseconds.
std::vector<double> throughTheWindow(const std::function<void(VaultSender&)>& step)
{
    offscreenApplication("bench_send");
    auto kist = loggedInVault(kVaultPassword);
    BenchWindow window(kist.get());
    window.view->refresh();
    window.show();
    QApplication::processEvents();
    std::vector<double> result = timedOnGuiThread([&] { step(*window.sender); });
    throwIfAsked("the window failed");
    return result;
}

std::string entryName(int index)
{
    return "entry-" + std::to_string(index) + ".bin";
}

std::vector<std::string> entryNames(int entries)
{
    std::vector<std::string> names;
    for (int i = 0; i < entries; ++i)
        names.push_back(entryName(i));
    return names;
}

// Stores the entries (from source, where they lie) in the vault again.
void storeEntries(const std::string& source, int entries)
{
    auto kist = loggedInVault(kVaultPassword);
    for (int i = 0; i < entries; ++i)
        kist->addFile(source + "/" + entryName(i), nullptr, false);
}

void checkEntries(const std::string& folder, const Settings& settings, std::uint64_t entrySize)
{
    for (int i = 0; i < settings.entries; ++i) {
        if (!holdsPattern(folder + "/" + entryName(i), entrySize, static_cast<unsigned>(i)))
            throw std::runtime_error("taken out wrongly: " + folder + "/" + entryName(i));
    }
}

int runBench(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    ScratchFolder scratch(settings.folder, "bench-send-",
                          settings.keep ? ScratchFolder::AtEnd::keepAndPrintPath : ScratchFolder::AtEnd::remove);
    const std::string home = useDesktopScratchHome(scratch.path(), kVaultPassword);
    const std::string work = home + "/work";

    const std::uint64_t entrySize = settings.sizeMiB * kMiB / static_cast<std::uint64_t>(settings.entries);
    std::printf("bench_send: %d entries of %.1f MiB, in %s\n\n", settings.entries,
                static_cast<double>(entrySize) / kMiB, scratch.path().c_str());
    const std::string source = work + "/source";
    std::filesystem::create_directories(source);
    for (int i = 0; i < settings.entries; ++i)
        createPatternFile(source + "/" + entryName(i), entrySize, static_cast<unsigned>(i));
    newVault(kVaultPassword);
    storeEntries(source, settings.entries);
    settle(home);

    // Exporting: the entries stay in the vault. Rounds alternate, so neither
    // side always meets a warmer disk.
    const std::vector<std::string> names = entryNames(settings.entries);
    KistComparison exported;
    for (int round = 0; round < kRounds && settings.only != "take-out"; ++round) {
        const std::string kistPackage = work + "/kist-" + std::to_string(round) + ".kzip";
        const std::string windowPackage = "window-" + std::to_string(round) + ".kzip";
        const auto viaKist = [&] {
            std::vector<std::string> command{KIST_TOOL_PATH, "export"};
            command.insert(command.end(), names.begin(), names.end());
            command.insert(command.end(), {"--out", kistPackage});
            setenv("KIST_PACKAGE_PASSWORD", kPackagePassword, 1);
            exported.addKist(secondsOf([&] { outputOfProgram(command); }));
        };
        const auto viaWindow = [&] {
            const ChildResult result = runInChild("export through the window", [&] {
                return throughTheWindow([&](VaultSender& sender) {
                    if (sender.exportAll(QString::fromStdString(work), QString::fromStdString(windowPackage),
                                         kPackagePassword, SendTarget::Folder)
                            .isEmpty())
                        throw std::runtime_error("the window's export wrote nothing");
                });
            });
            exported.addWindow(result.values.at(0), result.values.at(1));
        };
        if (round % 2 == 0) {
            viaKist();
            settle(home);
            viaWindow();
        } else {
            viaWindow();
            settle(home);
            viaKist();
        }
        removeQuietly(kistPackage);
        removeQuietly(work + "/" + windowPackage);
        settle(home);
    }
    bool allMet = settings.only == "take-out" ||
                  exported.report("exporting every entry", "kist export", kRatioTarget, kStallTargetMs);

    // Taking out: the entries leave the vault and are stored again between runs.
    KistComparison takenOut;
    for (int round = 0; round < kRounds && settings.only != "export"; ++round) {
        const auto viaKist = [&] {
            const std::string out = work + "/kist-out-" + std::to_string(round);
            std::filesystem::create_directories(out);
            std::vector<std::string> command{KIST_TOOL_PATH, "take-out"};
            command.insert(command.end(), names.begin(), names.end());
            command.insert(command.end(), {"--to", out});
            takenOut.addKist(secondsOf([&] { outputOfProgram(command); }));
            checkEntries(out, settings, entrySize);
            storeEntries(out, settings.entries);
            removeQuietly(out);
            settle(home);
        };
        const auto viaWindow = [&] {
            const std::string out = work + "/window-out-" + std::to_string(round);
            std::filesystem::create_directories(out);
            const ChildResult result = runInChild("take-out through the window", [&] {
                return throughTheWindow([&](VaultSender& sender) { sender.takeOutAll(QString::fromStdString(out)); });
            });
            takenOut.addWindow(result.values.at(0), result.values.at(1));
            checkEntries(out, settings, entrySize);
            storeEntries(out, settings.entries);
            removeQuietly(out);
            settle(home);
        };
        if (round % 2 == 0) {
            viaKist();
            viaWindow();
        } else {
            viaWindow();
            viaKist();
        }
    }
    if (settings.only != "export")
        allMet =
            takenOut.report("taking every entry out", "kist take-out", kRatioTarget, kStallTargetMs) && allMet;
    return allMet ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    return runReportingFailure("bench_send", [&] { return runBench(argc, argv); });
}
