#include "desktop/StartUp.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <vector>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/FileDialog.h"
#include "desktop/MailHandoff.h"
#include "desktop/MessageBox.h"
#include "desktop/ProgressWindow.h"
#include "desktop/SingleInstance.h"
#include "desktop/UpdateCheckPolicy.h"
#include "desktop/VaultDeskApplication.h"
#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "engine/Kist.h"

using StartUpRules::StartFlow;

namespace {

constexpr int kRefused = -1;
// How often a shell send that waits for the mail hand-off looks whether it ended.
constexpr int kHandoffPollMs = 50;
constexpr qint64 kLongestHandoffWaitMs = 10000;

const QString kErrorTitle = QStringLiteral("Error");
const QString kRestoreErrorTitle = QStringLiteral("File restore error!");
const QString kStoreErrorTitle = QStringLiteral("File store error!");
const QString kUpgradeTitle = QStringLiteral("Upgrade KORVELIN Safehold");
const QString kOptionalUpgradeText =
    QStringLiteral("There is a newer version of KORVELIN Safehold available for download.\nTo get the latest "
                   "features and fixes, download and install the newer version.");
const QString kRequiredUpgradeText = QStringLiteral(
    "There is a newer version of KORVELIN Safehold available for download.\nYou must download the latest "
    "version to continue.\n");
const QString kExtractCaption = QStringLiteral("Select a folder to extract contents of KORVELIN file");
const QString kNotAnsweringText =
    QStringLiteral("KORVELIN Safehold is already running but does not answer. Close it and start it again.");

StartUp::ModalRunner& modalRunner()
{
    static StartUp::ModalRunner runner;
    return runner;
}

StartUp::EventLoopRunner& eventLoopRunner()
{
    static StartUp::EventLoopRunner runner;
    return runner;
}

int runModal(QDialog& dialog)
{
    if (modalRunner())
        return modalRunner()(dialog);
    return dialog.exec();
}

// Benchmarks and tests of separate processes learn when the window is up and
// when a second start reached this one; nothing is printed otherwise.
void trace(const char* what)
{
    static const bool on = qEnvironmentVariableIsSet("VAULTDESK_TRACE_STARTUP");
    if (!on)
        return;
    static QElapsedTimer sinceFirst;
    if (!sinceFirst.isValid())
        sinceFirst.start();
    std::fprintf(stdout, "VaultDesk: %s (%lld ms)\n", what, static_cast<long long>(sinceFirst.elapsed()));
    std::fflush(stdout);
}

QString messageOf(const ExceptionModule& error)
{
    return EngineText::failureText(error);
}

// The shell flows' wait cursor, restored on every way out.
class WaitCursor {
public:
    explicit WaitCursor(bool on = true)
        : shown(on)
    {
        if (shown)
            QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~WaitCursor() { restore(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
    void restore()
    {
        if (shown)
            QApplication::restoreOverrideCursor();
        shown = false;
    }

private:
    bool shown;
};

QStringList listedNames(Kist& engine, EngineCall& call)
{
    return call.run([&engine] {
        std::vector<KistFile*> files;
        engine.listFiles(files);
        QStringList names;
        for (KistFile* file : files) {
            names.append(EngineText::fromEngine(file->name));
            delete file;
        }
        return names;
    });
}

} // namespace

StartUp::StartUp(const QStringList& arguments)
    : commandLine(StartUpRules::scanArguments(arguments.mid(1)))
    , startFlow(StartUpRules::chooseFlow(commandLine))
{
}

StartUp::~StartUp()
{
    closeWindowAndEngine();
}

void StartUp::setModalRunner(ModalRunner runner)
{
    modalRunner() = std::move(runner);
}

void StartUp::setEventLoopRunner(EventLoopRunner runner)
{
    eventLoopRunner() = std::move(runner);
}

void StartUp::closeWindowAndEngine()
{
    // The window borrows the engine and the shell send's progress window: it goes first.
    mainWindow.reset();
    sendProgress.reset();
    kist.reset();
}

QString StartUp::absolutePath() const
{
    return QDir::current().absoluteFilePath(commandLine.path);
}

int StartUp::run()
{
    int status = kRefused;
    try {
        status = runFlow();
    } catch (const ExceptionModule& error) {
        MessageBox::information(nullptr, kErrorTitle, messageOf(error));
        status = kRefused;
    } catch (const std::exception& error) {
        MessageBox::information(nullptr, kErrorTitle, QString::fromLocal8Bit(error.what()));
        status = kRefused;
    }
    closeWindowAndEngine();
    instance.reset();
    return status;
}

int StartUp::runFlow()
{
    switch (startFlow) {
    case StartFlow::ExtractChosen:
        return extractPackage(true);
    case StartFlow::ExtractHere:
        return extractPackage(false);
    case StartFlow::ExtractToVault:
        return extractToVault();
    case StartFlow::SendToFolder:
    case StartFlow::SendToDropbox:
    case StartFlow::SendByEmail:
        return sendFile(StartUpRules::sendTarget(startFlow));
    case StartFlow::AddToVault:
        return addToVault();
    case StartFlow::OpenPackage:
        return openPackage();
    case StartFlow::FileCreator:
        return fileCreator();
    case StartFlow::Normal:
        return normalStart();
    case StartFlow::Refused:
        break;
    }
    return kRefused;
}

// The prompt before a package's entries are shown or extracted; true when
// the package needs no password or was opened with the one given. A backup
// is opened with the Vault password it was made with (the prompt adds the
// backup suffix), never with the bare text.
bool StartUp::askPackagePassword(const QString& packagePath)
{
    if (kist->isEmptyPassword())
        return true;
    const int mode = StartUpRules::isVaultBackup(packagePath) ? CKEnterEmail::VaultRestore : CKEnterEmail::OpenPackage;
    return CKEnterEmail::ask(nullptr, kist.get(), mode);
}

// E1 and E2: every entry of the package into a folder, without a window.
int StartUp::extractPackage(bool chooseFolder)
{
    const QString packagePath = absolutePath();
    QString target = chooseFolder ? QString::fromStdString(Kist::getFolder(DesktopDir))
                                  : StartUpRules::extractHereFolder(packagePath);
    try {
        kist = std::make_unique<Kist>(EngineText::toEngine(packagePath));
        if (!askPackagePassword(packagePath))
            return kRefused;
        if (chooseFolder) {
            target = FileDialog::getExistingDirectory(nullptr, kExtractCaption, target, QFileDialog::ShowDirsOnly);
            if (target.isEmpty())
                return kRefused;
        } else if (!QDir().mkdir(target) && !QFileInfo(target).isDir()) {
            MessageBox::information(nullptr, kRestoreErrorTitle,
                                    QStringLiteral("Cannot create the folder: ") + target);
            return kRefused;
        }

        WaitCursor waitCursor;
        ProgressWindow progress(QStringLiteral("Extracting %1").arg(EngineText::forDisplay(QFileInfo(packagePath).fileName())), kist.get());
        EngineCall call(*kist, &progress);
        const std::string folder = EngineText::toEngine(target);
        for (const QString& name : listedNames(*kist, call)) {
            if (call.cancelled())
                break;
            try {
                call.run([this, &name, &folder] { kist->removeFile(EngineText::toEngine(name), folder); });
            } catch (const ExceptionModule&) {
                // Cancel heard inside the entry: nothing of it was written.
                if (call.cancelled())
                    break;
                throw;
            }
        }
        if (call.cancelled())
            return kRefused;
    } catch (const ExceptionModule& error) {
        MessageBox::information(nullptr, kRestoreErrorTitle, messageOf(error));
        return kRefused;
    }
    kist.reset();
    return 0;
}

// E3: the dialog asks for both passwords and copies the package into the vault.
int StartUp::extractToVault()
{
    kist = std::make_unique<Kist>(EngineText::toEngine(absolutePath()));
    CKDefaultsOffPwd dialog(nullptr, kist.get());
    dialog.setMode(CKDefaultsOffPwd::ExtractToVault);
    dialog.applySkin();
    const int result = runModal(dialog) == QDialog::Accepted ? 1 : 0;
    kist.reset();
    return result;
}

// S1: the file or folder into a temporary vault, then sent from a File
// Creator window that is never shown. The user's file stays where it is.
int StartUp::sendFile(int target)
{
    const QString path = absolutePath();
    bool dialogOpened = false;
    try {
        kist = std::make_unique<Kist>(false);
        kist->login("");
        {
            WaitCursor waitCursor(target == 0);
            ProgressWindow progress(QStringLiteral("Encrypting %1").arg(EngineText::forDisplay(QFileInfo(path).fileName())), kist.get());
            EngineCall call(*kist, &progress);
            call.run([this, &path] {
                KistFile file;
                kist->addFile(EngineText::toEngine(path), &file, false);
            });
        }
        mainWindow = std::make_unique<CKMainWindow>(kist.get(), FileCreatorMode);
        // The window is never shown: the package is written under a small
        // progress window with Cancel of its own.
        sendProgress = std::make_unique<ProgressWindow>(StartUpRules::sendTask(target, QFileInfo(path).fileName()),
                                                        kist.get());
        mainWindow->setProgressDisplay(sendProgress.get());
        mainWindow->vaultView()->refresh();
        mainWindow->setSelectAllChecked(true);
        mainWindow->vaultView()->setAllTicked(true);
        dialogOpened = mainWindow->sendSelected(target);
    } catch (const ExceptionModule& error) {
        MessageBox::information(nullptr, kStoreErrorTitle, messageOf(error));
        return kRefused;
    }

    if (dialogOpened) {
        // The dialog that asks for the package's name and password finishes
        // the send; the flow waits until it closes.
        QPointer<QDialog> dialog = target == 0 ? static_cast<QDialog*>(mainWindow->saveToComputerDialog())
                                               : static_cast<QDialog*>(mainWindow->passwordDialog());
        if (dialog && dialog->isVisible()) {
            QEventLoop loop;
            connect(dialog, &QDialog::finished, &loop, &QEventLoop::quit);
            connect(dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    // The e-mail hand-off runs beside the flow. A mail program usually
    // takes it within moments; one that keeps xdg-email until it quits is
    // left running when the flow ends (nothing kills it).
    if (MailHandoff::underWay() > 0) {
        QEventLoop loop;
        QTimer poll;
        QElapsedTimer waited;
        waited.start();
        connect(&poll, &QTimer::timeout, &loop, [&loop, &waited] {
            if (MailHandoff::underWay() == 0 || waited.elapsed() > kLongestHandoffWaitMs)
                loop.quit();
        });
        poll.start(kHandoffPollMs);
        loop.exec();
    }
    closeWindowAndEngine();
    return 0;
}

// S2: the file or folder into the user's vault after the Vault password.
int StartUp::addToVault()
{
    const QString path = absolutePath();
    try {
        kist = std::make_unique<Kist>(true);
        if (!CKEnterEmail::ask(nullptr, kist.get(), CKEnterEmail::AddToVault)) {
            kist.reset();
            return kRefused;
        }
        ProgressWindow progress(QStringLiteral("Adding %1 to the vault").arg(EngineText::forDisplay(QFileInfo(path).fileName())),
                                kist.get());
        EngineCall call(*kist, &progress);
        call.run([this, &path] {
            KistFile file;
            kist->addFile(EngineText::toEngine(path), &file, false);
        });
    } catch (const ExceptionModule& error) {
        MessageBox::information(nullptr, kStoreErrorTitle, messageOf(error));
        return kRefused;
    }
    kist.reset();
    return 0;
}

// P: a package opened from its path, in a window of its own.
int StartUp::openPackage()
{
    const QString packagePath = absolutePath();
    kist = std::make_unique<Kist>(EngineText::toEngine(packagePath));
    if (!askPackagePassword(packagePath))
        return kRefused;
    mainWindow = std::make_unique<CKMainWindow>(kist.get(), OpenFileMode);
    mainWindow->setVaultMode(false);
    return showAndRun();
}

// W: an empty File Creator window on a temporary vault.
int StartUp::fileCreator()
{
    kist = std::make_unique<Kist>(false);
    kist->login("");
    mainWindow = std::make_unique<CKMainWindow>(kist.get(), FileCreatorMode);
    mainWindow->setVaultMode(false);
    return showAndRun();
}

// N: the user's vault. A second start only wakes the first: it asks before
// it opens the vault, so the vault is never opened beside the running window.
int StartUp::normalStart()
{
    instance = std::make_unique<SingleInstance>(QString::fromLatin1(applicationId));
    if (instance->isRunning()) {
        if (instance->sendMessage(QString::fromLatin1(wakeUpMessage), wakeUpTimeoutMs))
            return 0;
        MessageBox::information(nullptr, kErrorTitle, kNotAnsweringText);
        return kRefused;
    }
    trace("no other instance");
    kist = std::make_unique<Kist>(true);
    trace("vault opened");
    mainWindow = std::make_unique<CKMainWindow>(kist.get(), VaultMode);
    mainWindow->setVaultMode(true);
    trace("window built");
    // Activation is done here: before the first-launch questions are
    // answered the window must stay hidden, and a wake-up then raises them.
    instance->setActivationWindow(mainWindow.get(), false);
    connect(instance.get(), &SingleInstance::messageReceived, this, &StartUp::wakeUp);
    return showAndRun();
}

void StartUp::wakeUp()
{
    trace("woken");
    if (windowShown && mainWindow) {
        bringWindowForward();
        return;
    }
    if (QWidget* question = QApplication::activeModalWidget()) {
        question->raise();
        question->activateWindow();
        return;
    }
    wakeUpPending = true;
}

void StartUp::bringWindowForward()
{
    mainWindow->showWindow();
    instance->activateWindow();
}

bool StartUp::checksForUpdates()
{
    // Package and composer windows open no vault: they never ask.
    if (startFlow != StartFlow::Normal || !UpdateCheckPolicy::systemAllows())
        return false;
    return UpdateCheckPolicy::userAllows(QString::fromStdString(kist->retrieveConfig(UpdateCheckPolicy::settingName)));
}

int StartUp::showAndRun()
{
    // The update service may be slow or silent: the check runs off the GUI
    // thread so a second start is still answered meanwhile.
    const bool asking = checksForUpdates();
    const int upgrade = !asking ? 0 : [this] {
        EngineCall call(*kist, nullptr);
        return call.run([this] { return kist->isUpgradeAvailable(); });
    }();
    trace(asking ? "update checked" : "update check off");
    if (upgrade == 1) {
        MessageBox::information(nullptr, kUpgradeTitle, kOptionalUpgradeText);
    } else if (upgrade == 2 || upgrade == 3) {
        MessageBox::information(nullptr, kUpgradeTitle, kRequiredUpgradeText);
        return kRefused;
    }

    if (!askWelcome())
        return kRefused;

    mainWindow->show();
    windowShown = true;
    trace("window shown");
    if (wakeUpPending)
        bringWindowForward();

    VaultDeskApplication::clearUnhandledError();
    if (eventLoopRunner())
        eventLoopRunner()();
    else
        QApplication::exec();
    // The loop's own result is not passed on; an error that escaped a slot
    // was shown and ended the loop.
    return VaultDeskApplication::hadUnhandledError() ? kRefused : 0;
}

// The welcome questions work on the user's vault: in the normal start that
// is the start's own engine; a package or composer window opens the vault for
// the questions alone, so the Vault password and address never go to a
// package or a temporary vault.
bool StartUp::askWelcome()
{
    const bool normal = startFlow == StartFlow::Normal;
    const bool firstLaunch = kist->isFirstLaunch();
    const bool emailEmpty = kist->isEmptyEmail();
    if (!normal && !firstLaunch && !emailEmpty)
        return true;

    std::unique_ptr<Kist> ownVault;
    Kist* vault = kist.get();
    if (!normal) {
        ownVault = std::make_unique<Kist>(true);
        vault = ownVault.get();
    }
    StartUpRules::WelcomeState state;
    state.firstLaunch = firstLaunch;
    state.normalStart = normal;
    state.vaultPasswordEmpty = vault->isEmptyPassword();
    state.emailEmpty = emailEmpty;
    const StartUpRules::Welcome welcome = StartUpRules::chooseWelcome(state);
    if (welcome == StartUpRules::Welcome::None)
        return true;

    CKDefaultsOffPwd dialog(nullptr, vault);
    dialog.setMode(welcome == StartUpRules::Welcome::PasswordAndEmail ? CKDefaultsOffPwd::Welcome
                                                                       : CKDefaultsOffPwd::WelcomeEmail);
    dialog.applySkin();
    return runModal(dialog) == QDialog::Accepted;
}
