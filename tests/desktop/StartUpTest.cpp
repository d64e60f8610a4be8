// The start-up flows: as VaultDesk children where no dialog is needed, and in
// process through StartUp with the dialogs' next-answer hooks where one is.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <functional>

#include <unistd.h>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/EngineText.h"
#include "desktop/ProgressWindow.h"
#include "desktop/StartUp.h"
#include "desktop/VaultDeskApplication.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "tests/desktop/DesktopTestSupport.h"

using namespace desktoptest;

namespace {

const QString kProgram = QStringLiteral(VAULTDESK_PROGRAM);
const std::string kVaultPassword = "secret";
// A port where nothing listens: the update check fails at once.
const QByteArray kNoUpdateService = "127.0.0.1:1";

QString dataHome()
{
    return qEnvironmentVariable("XDG_DATA_HOME");
}

QString desktopFolder()
{
    return qEnvironmentVariable("XDG_DESKTOP_DIR");
}

// A vault with a password and an e-mail address: starts ask no welcome.
void setUpVault()
{
    auto vault = openVault(kVaultPassword);
    vault->setEmail("ann@example.org");
}

// A package of the files and folders in a new folder (relative path -> bytes).
QString makePackage(const QString& packagePath, const QMap<QString, QByteArray>& files, const std::string& password)
{
    const QString source = makeFolder(QStringLiteral("package-source"));
    for (auto it = files.begin(); it != files.end(); ++it)
        writeFile(source + u'/' + it.key(), it.value());
    Kist composer(false);
    composer.login("");
    for (const QString& entry : QDir(source).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
        composer.addFile((source + u'/' + entry).toStdString(), nullptr, false);
    std::vector<std::string> names;
    for (const QString& name : listedNames(composer))
        names.push_back(name.toStdString());
    QDir().mkpath(QFileInfo(packagePath).absolutePath());
    composer.exportFiles(packagePath.toStdString(), names, password);
    return packagePath;
}

struct ChildResult {
    bool finished = false;
    int exitCode = -1;
    QString output;
};

// Runs VaultDesk with arguments; a child still running after timeoutMs (a box
// waiting for a person, say) is killed and reported as not finished.
ChildResult runVaultDesk(const QStringList& arguments, const QProcessEnvironment& environment,
                         int timeoutMs = 30000)
{
    QProcess child;
    child.setProcessEnvironment(environment);
    child.start(kProgram, arguments);
    ChildResult result;
    result.finished = child.waitForFinished(timeoutMs);
    if (!result.finished) {
        child.kill();
        child.waitForFinished();
    }
    result.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    result.output = QString::fromUtf8(child.readAllStandardOutput());
    return result;
}

QProcessEnvironment childEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("KORVELIN_UPDATE_SERVER"), QString::fromLatin1(kNoUpdateService));
    return environment;
}

int startWith(const QStringList& arguments)
{
    StartUp startUp(QStringList{QStringLiteral("VaultDesk")} + arguments);
    return startUp.run();
}

// Types three rows into the password dialog and presses Ok; its result.
int answerPasswordDialog(QDialog& dialog, const QString& row1, const QString& row2, const QString& row3)
{
    dialog.findChild<QLineEdit*>(QStringLiteral("zipFileName"))->setText(row1);
    dialog.findChild<QLineEdit*>(QStringLiteral("enterPwd"))->setText(row2);
    dialog.findChild<QLineEdit*>(QStringLiteral("reEnterPwd"))->setText(row3);
    return static_cast<CKDefaultsOffPwd&>(dialog).OkButtonPressed();
}

QWidget* visibleTopLevel(const QString& objectName)
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == objectName && widget->isVisible())
            return widget;
    return nullptr;
}

// A stand-in for the update service that gives one answer to every request.
class UpdateService {
public:
    explicit UpdateService(const QString& answer)
    {
        server.start(QStringLiteral("python3"), {QStringLiteral(UPDATE_SERVER_SCRIPT), answer});
        if (server.waitForReadyRead(10000))
            port = QString::fromUtf8(server.readLine()).trimmed();
    }
    ~UpdateService()
    {
        server.kill();
        server.waitForFinished();
    }
    QString address() const { return QStringLiteral("127.0.0.1:") + port; }
    // The update requests served so far (the server prints each path).
    int requests()
    {
        while (server.waitForReadyRead(100)) {
        }
        while (server.canReadLine())
            if (server.readLine().contains("/update.php"))
                ++served;
        return served;
    }
    bool isUp() const { return !port.isEmpty(); }

private:
    QProcess server;
    QString port;
    int served = 0;
};

// Remembers what each progress window said when it was shown.
class ShownProgressWindows : public QObject {
public:
    QStringList tasks;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show)
            if (auto* window = qobject_cast<ProgressWindow*>(watched))
                tasks.append(window->task());
        return false;
    }
};

} // namespace

class StartUpTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void switchesWithoutPathRefuseAndShowNothing();
    void extractHereMakesAFolderBesideThePackage();
    void shellSendsWithDefaultsKeepTheOriginal();
    void extractToChosenFolder();
    void openPackageShowsOnlyTheLastPath();
    void protectedPackageAsksForItsPassword();
    void backupOpensWithTheVaultPassword();
    void upgradeCheck_data();
    void upgradeCheck();
    void firstLaunchWelcomeGuardsTheWindow();
    void composerWelcomeSetsTheUsersVault();
    void secondStartWakesTheFirstWithoutOpeningTheVault();
    void killedInstanceDoesNotBlockTheNextStart();
    void addToVaultAsksForTheVaultPassword();
    void extractToVaultReturnsTheDialogsResult();
    void sendToFolderAsksWhenDefaultsAreOff();
    void errorsOutsideTheFlowsAreReported();
    void updateCheckRunsOnlyForTheVaultAndWhenAllowed();
    void shellSendShowsItsProgressWindow();
};

void StartUpTest::init()
{
    resetProfile();
    clearDialogHooks();
    CKEnterEmail::clearAnswers();
    StartUp::setModalRunner({});
    StartUp::setEventLoopRunner({});
    qputenv("KORVELIN_UPDATE_SERVER", kNoUpdateService);
}

void StartUpTest::cleanup()
{
    StartUp::setModalRunner({});
    StartUp::setEventLoopRunner({});
}

void StartUpTest::switchesWithoutPathRefuseAndShowNothing()
{
    for (const QString shellSwitch : {"/x", "/xh", "/xv", "/sf", "/sd", "/se", "/sv", "/r"}) {
        const ChildResult result = runVaultDesk({shellSwitch, QStringLiteral("/v")}, childEnvironment(), 15000);
        QVERIFY2(result.finished, qPrintable(shellSwitch + " waited for something"));
        QCOMPARE(result.exitCode, 255); // -1 to a shell
    }
    // Nothing was opened: neither the vault nor the settings exist.
    QVERIFY(!QFileInfo::exists(dataHome() + "/kist"));
    QVERIFY(!QFileInfo::exists(dataHome() + "/Brannoway"));
}

void StartUpTest::extractHereMakesAFolderBesideThePackage()
{
    const QString docs = makeFolder(QStringLiteral("docs"));
    const QString package = makePackage(docs + "/photos.2012.kzip",
                                        {{"a.txt", "first"}, {"album/b.txt", "second"}}, "");
    const ChildResult result = runVaultDesk({QStringLiteral("/xh"), package}, childEnvironment());
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readFile(docs + "/photos/a.txt"), QByteArray("first"));
    QCOMPARE(readFile(docs + "/photos/album/b.txt"), QByteArray("second"));
    QVERIFY(QFileInfo::exists(package));

    // A file in the way of the folder: reported (a box), nothing extracted.
    const QString blocked = makePackage(docs + "/blocked.kzip", {{"c.txt", "third"}}, "");
    writeFile(docs + "/blocked", QByteArray("not a folder"));
    StartUp startUp({QStringLiteral("VaultDesk"), QStringLiteral("/xh"), blocked});
    QCOMPARE(startUp.run(), -1);
    QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("File restore error!"));
    QCOMPARE(readFile(docs + "/blocked"), QByteArray("not a folder"));
}

void StartUpTest::shellSendsWithDefaultsKeepTheOriginal()
{
    const QString restoreFolder = makeFolder(QStringLiteral("restore"));
    const QString dropbox = makeFolder(QStringLiteral("Dropbox"));
    writeFile(qEnvironmentVariable("HOME") + "/.dropbox/info.json",
              QStringLiteral("{\"personal\": {\"path\": \"%1\"}}").arg(dropbox).toUtf8());
    {
        Kist settings(false);
        settings.persistConfig("DefaultsOn", "true");
        settings.persistConfig("DefaultPassword", "package-pw");
        settings.persistConfig("RestoreFolder", restoreFolder.toStdString());
        settings.persistConfig("DropboxFolder", dropbox.toStdString());
    }
    const QString original = writeFile(makeFolder(QStringLiteral("docs")) + "/report.txt", 5000, 3);
    const QByteArray bytes = readFile(original);

    // Package names follow the file's name without its extension.
    const QString mailerFolder = makeFolder(QStringLiteral("mailer"));
    const QString mailer = writeFile(mailerFolder + "/mailer.sh",
                                     QStringLiteral("#!/bin/sh\nprintf '%s' \"$1\" > '%1/url'\n").arg(mailerFolder).toUtf8());
    QFile::setPermissions(mailer, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = childEnvironment();
    environment.insert(QStringLiteral("MAILER"), mailer);

    for (const QString shellSwitch : {"/sf", "/sd", "/se"}) {
        const ChildResult result = runVaultDesk({shellSwitch, original}, environment);
        QVERIFY2(result.finished, qPrintable(shellSwitch + " waited for something"));
        QCOMPARE(result.exitCode, 0);
        // The user's file stays where it was, as it was.
        QCOMPARE(readFile(original), bytes);
    }
    auto packageIn = [](const QString& folder) {
        return QDir(folder).entryList({QStringLiteral("*.kzip")}, QDir::Files);
    };
    QCOMPARE(packageIn(restoreFolder), QStringList{QStringLiteral("report.kzip")});
    QCOMPARE(packageIn(dropbox), QStringList{QStringLiteral("report.kzip")});
    Kist saved((restoreFolder + "/report.kzip").toStdString());
    QVERIFY(saved.login("package-pw"));
    QCOMPARE(listedNames(saved), QStringList{QStringLiteral("report.txt")});
    QVERIFY(readFile(mailerFolder + "/url").contains("report.kzip"));
}

void StartUpTest::extractToChosenFolder()
{
    const QString package = makePackage(makeFolder(QStringLiteral("in")) + "/notes.kzip", {{"n.txt", "note"}}, "pkpw");
    const QStringList desktopBefore = QDir(desktopFolder()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);

    // A wrong password runs the prompt out: no chooser, nothing extracted.
    CKEnterEmail::setNextAnswers({QStringLiteral("wrong")});
    QCOMPARE(startWith({QStringLiteral("/x"), package}), -1);
    QVERIFY(FileDialog::asked().isEmpty());

    // The chooser starts on the desktop; cancelling it extracts nothing.
    CKEnterEmail::setNextAnswers({QStringLiteral("pkpw")});
    QCOMPARE(startWith({QStringLiteral("/x"), package}), -1);
    QCOMPARE(FileDialog::lastAsked().caption, QStringLiteral("Select a folder to extract contents of KORVELIN file"));
    QCOMPARE(FileDialog::lastAsked().startAt, desktopFolder());
    QCOMPARE(QDir(desktopFolder()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), desktopBefore);

    const QString target = makeFolder(QStringLiteral("chosen"));
    CKEnterEmail::setNextAnswers({QStringLiteral("pkpw")});
    FileDialog::setNextDirName(target);
    QCOMPARE(startWith({QStringLiteral("/x"), package}), 0);
    QCOMPARE(readFile(target + "/n.txt"), QByteArray("note"));
}

void StartUpTest::openPackageShowsOnlyTheLastPath()
{
    setUpVault();
    const QString folder = makeFolder(QStringLiteral("packages"));
    const QString first = makePackage(folder + "/first.kzip", {{"alpha.txt", "a"}}, "");
    const QString second = makePackage(folder + "/second.kzip", {{"beta.txt", "b"}}, "");

    StartUp startUp({QStringLiteral("VaultDesk"), first, second});
    QStringList shownNames;
    bool shown = false;
    WindowMode mode = VaultMode;
    StartUp::setEventLoopRunner([&] {
        shown = startUp.window()->isVisible();
        mode = startUp.window()->windowMode();
        shownNames = startUp.window()->vaultView()->allNames();
        return 0;
    });
    QCOMPARE(startUp.run(), 0);
    QVERIFY(shown);
    QCOMPARE(mode, OpenFileMode);
    QCOMPARE(shownNames, QStringList{QStringLiteral("beta.txt")});
    QVERIFY(MessageBox::asked().isEmpty());
}

void StartUpTest::protectedPackageAsksForItsPassword()
{
    setUpVault();
    const QString package = makePackage(makeFolder(QStringLiteral("p")) + "/locked.kzip", {{"k.txt", "k"}}, "pkpw");
    bool loopRan = false;
    StartUp::setEventLoopRunner([&] {
        loopRan = true;
        return 0;
    });
    // Cancelled (the prompt's answers run out): no window, -1.
    CKEnterEmail::setNextAnswers({QStringLiteral("not it")});
    QCOMPARE(startWith({package}), -1);
    QVERIFY(!loopRan);

    CKEnterEmail::setNextAnswers({QStringLiteral("not it"), QStringLiteral("pkpw")});
    QCOMPARE(startWith({package}), 0);
    QVERIFY(loopRan);
}

void StartUpTest::backupOpensWithTheVaultPassword()
{
    setUpVault();
    // A backup is sealed with the Vault password and the backup suffix.
    const QString backup = makePackage(makeFolder(QStringLiteral("b")) + "/korvelin.TEST.kzipbkp",
                                       {{"kept.txt", "kept"}}, kVaultPassword + CKEnterEmail::backupPasswordSuffix);
    const QString target = makeFolder(QStringLiteral("from-backup"));
    CKEnterEmail::setNextAnswers({QString::fromStdString(kVaultPassword)});
    FileDialog::setNextDirName(target);
    QCOMPARE(startWith({QStringLiteral("/x"), backup}), 0);
    QCOMPARE(readFile(target + "/kept.txt"), QByteArray("kept"));
}

void StartUpTest::upgradeCheck_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("windowShown");
    QTest::addColumn<QString>("text");

    const QString optional = QStringLiteral(
        "There is a newer version of KORVELIN Safehold available for download.\nTo get the latest features and "
        "fixes, download and install the newer version.");
    const QString required = QStringLiteral("There is a newer version of KORVELIN Safehold available for "
                                            "download.\nYou must download the latest version to continue.\n");
    QTest::newRow("patch: informs") << "Version::0.31.020;Download::http://example.org/x;" << true << optional;
    QTest::newRow("minor: required") << "Version::0.32.000;Download::http://example.org/x;" << false << required;
    QTest::newRow("major: required") << "Version::1.0;Download::http://example.org/x;" << false << required;
    QTest::newRow("same version") << "Version::0.31.018;Download::http://example.org/x;" << true << "";
}

void StartUpTest::upgradeCheck()
{
    QFETCH(QString, answer);
    QFETCH(bool, windowShown);
    QFETCH(QString, text);

    // No password: without the required-upgrade stop a welcome would follow.
    {
        Kist vault(true);
        QVERIFY(vault.isEmptyPassword()); // and so logged in
        vault.setEmail("ann@example.org");
    }
    UpdateService service(answer);
    QVERIFY(service.isUp());
    qputenv("KORVELIN_UPDATE_SERVER", service.address().toUtf8());

    bool dialogShown = false;
    bool loopRan = false;
    StartUp::setModalRunner([&](QDialog& dialog) {
        dialogShown = true;
        return answerPasswordDialog(dialog, "newpw-Harbour-Lantern-81", "newpw-Harbour-Lantern-81", "ann@example.org");
    });
    StartUp::setEventLoopRunner([&] {
        loopRan = true;
        return 0;
    });
    QCOMPARE(startWith({}), windowShown ? 0 : -1);
    QCOMPARE(loopRan, windowShown);
    QCOMPARE(dialogShown, windowShown);
    if (text.isEmpty()) {
        QVERIFY(MessageBox::asked().isEmpty());
    } else {
        QCOMPARE(MessageBox::asked().size(), 1);
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Upgrade KORVELIN Safehold"));
        QCOMPARE(MessageBox::lastAsked().text, text);
    }
}

void StartUpTest::firstLaunchWelcomeGuardsTheWindow()
{
    QList<int> modes;
    bool loopRan = false;
    StartUp::setModalRunner([&](QDialog& dialog) {
        modes << static_cast<CKDefaultsOffPwd&>(dialog).mode();
        return int(QDialog::Rejected);
    });
    StartUp::setEventLoopRunner([&] {
        loopRan = true;
        return 0;
    });
    QCOMPARE(startWith({}), -1);
    QCOMPARE(modes, QList<int>{CKDefaultsOffPwd::Welcome});
    QVERIFY(!loopRan);

    bool windowShown = false;
    StartUp::setModalRunner([&](QDialog& dialog) {
        modes << static_cast<CKDefaultsOffPwd&>(dialog).mode();
        return answerPasswordDialog(dialog, "newpw-Harbour-Lantern-81", "newpw-Harbour-Lantern-81", "ann@example.org");
    });
    StartUp startUp({QStringLiteral("VaultDesk")});
    StartUp::setEventLoopRunner([&] {
        windowShown = startUp.window()->isVisible();
        return 0;
    });
    QCOMPARE(startUp.run(), 0);
    QCOMPARE(modes, (QList<int>{CKDefaultsOffPwd::Welcome, CKDefaultsOffPwd::Welcome}));
    QVERIFY(windowShown);

    // With the password set, a lost address is asked for alone.
    {
        Kist settings(true);
        settings.persistConfig("EmailD", "");
    }
    modes.clear();
    StartUp::setModalRunner([&](QDialog& dialog) {
        modes << static_cast<CKDefaultsOffPwd&>(dialog).mode();
        return answerPasswordDialog(dialog, "bob@example.org", "newpw-Harbour-Lantern-81", "");
    });
    StartUp::setEventLoopRunner([] { return 0; });
    QCOMPARE(startWith({}), 0);
    QCOMPARE(modes, QList<int>{CKDefaultsOffPwd::WelcomeEmail});
}

void StartUpTest::composerWelcomeSetsTheUsersVault()
{
    // The first start of all opens the composer: the welcome's password
    // must go to the user's vault, not to the composer's temporary one.
    StartUp::setModalRunner([](QDialog& dialog) {
        return answerPasswordDialog(dialog, "newpw-Harbour-Lantern-81", "newpw-Harbour-Lantern-81", "ann@example.org");
    });
    StartUp::setEventLoopRunner([] { return 0; });
    QCOMPARE(startWith({QStringLiteral("/w")}), 0);
    Kist vault(true);
    QVERIFY(!vault.isEmptyPassword());
    QVERIFY(vault.login("newpw-Harbour-Lantern-81"));
    QVERIFY(!vault.isEmptyEmail());
}

void StartUpTest::secondStartWakesTheFirstWithoutOpeningTheVault()
{
    setUpVault();
    // The second start gets a vault that cannot be opened: were it opened,
    // the start would fail with a box and never exit by itself.
    const QString brokenData = makeFolder(QStringLiteral("broken-data"));
    writeFile(brokenData + "/kist", QByteArray("not a folder"));
    QProcessEnvironment environment = childEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), brokenData);

    StartUp first({QStringLiteral("VaultDesk")});
    ChildResult second;
    bool woken = false;
    StartUp::setEventLoopRunner([&] {
        first.window()->hide(); // as a vault window closed to the tray
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(kProgram, QStringList{});
        second.finished = QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 15000);
        if (!second.finished) {
            child.kill();
            child.waitForFinished();
        }
        second.exitCode = child.exitCode();
        woken = QTest::qWaitFor([&] { return first.window()->isVisible(); }, 5000);
        return 0;
    });
    QCOMPARE(first.run(), 0);
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, 0);
    QVERIFY(woken);
}

void StartUpTest::killedInstanceDoesNotBlockTheNextStart()
{
    setUpVault();
    QProcessEnvironment environment = childEnvironment();
    environment.insert(QStringLiteral("VAULTDESK_TRACE_STARTUP"), QStringLiteral("1"));
    auto startUntilShown = [&](QProcess& child) {
        child.setProcessEnvironment(environment);
        child.start(kProgram, QStringList{});
        return QTest::qWaitFor(
            [&] {
                child.waitForReadyRead(50);
                return child.peek(4096).contains("VaultDesk: window shown");
            },
            20000);
    };
    QProcess killed;
    QVERIFY(startUntilShown(killed));
    killed.kill(); // leaves its lock file and socket behind
    killed.waitForFinished();

    QProcess next;
    const bool shown = startUntilShown(next);
    next.kill();
    next.waitForFinished();
    QVERIFY2(shown, "the next start did not become the instance");
}

void StartUpTest::addToVaultAsksForTheVaultPassword()
{
    setUpVault();
    const QString file = writeFile(makeFolder(QStringLiteral("docs")) + "/o'neil plan.txt", QByteArray("plan"));

    // Cancelled: the file stays and the vault does not change.
    QCOMPARE(startWith({QStringLiteral("/sv"), file}), -1);
    QCOMPARE(readFile(file), QByteArray("plan"));

    CKEnterEmail::setNextAnswers({QStringLiteral("wrong"), QString::fromStdString(kVaultPassword)});
    QCOMPARE(startWith({QStringLiteral("/sv"), file}), 0);
    QVERIFY(!QFileInfo::exists(file));
    auto vault = openVault(kVaultPassword);
    QCOMPARE(listedNames(*vault), QStringList{QStringLiteral("o'neil plan.txt")});

    // A file that is not there: "File store error!" with the system's reason, -1.
    CKEnterEmail::setNextAnswers({QString::fromStdString(kVaultPassword)});
    QCOMPARE(startWith({QStringLiteral("/sv"), file}), -1);
    QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("File store error!"));
    QVERIFY(MessageBox::lastAsked().text.endsWith(QStringLiteral("\nNo such file or directory")));

    // A name that is not UTF-8 arrives as the file system's bytes.
    const QByteArray latin1 = QFile::encodeName(makeFolder(QStringLiteral("old disk"))) + "/caf\xe9.txt";
    {
        FILE* handle = std::fopen(latin1.constData(), "wb");
        QVERIFY(handle);
        std::fputs("latin-1", handle);
        std::fclose(handle);
    }
    char* argv[] = {const_cast<char*>("VaultDesk"), const_cast<char*>("/sv"), const_cast<char*>(latin1.constData())};
    CKEnterEmail::setNextAnswers({QString::fromStdString(kVaultPassword)});
    StartUp rawStart(EngineText::arguments(3, argv));
    QCOMPARE(rawStart.run(), 0);
    QVERIFY(::access(latin1.constData(), F_OK) != 0);
    std::vector<KistFile*> files;
    vault->listFiles(files);
    QList<QByteArray> names;
    for (KistFile* record : files) {
        names.append(QByteArray::fromStdString(record->name));
        delete record;
    }
    QCOMPARE(names, (QList<QByteArray>{"caf\xe9.txt", "o'neil plan.txt"}));
}

void StartUpTest::extractToVaultReturnsTheDialogsResult()
{
    setUpVault();
    const QString package = makePackage(makeFolder(QStringLiteral("x")) + "/gift.kzip", {{"gamma.txt", "g"}}, "pkpw");
    int shownMode = -1;
    StartUp::setModalRunner([&](QDialog& dialog) {
        shownMode = static_cast<CKDefaultsOffPwd&>(dialog).mode();
        return int(QDialog::Rejected);
    });
    QCOMPARE(startWith({QStringLiteral("/xv"), package}), 0);
    QCOMPARE(shownMode, int(CKDefaultsOffPwd::ExtractToVault));

    StartUp::setModalRunner([](QDialog& dialog) {
        return answerPasswordDialog(dialog, "pkpw", QString::fromStdString(kVaultPassword), "");
    });
    QCOMPARE(startWith({QStringLiteral("/xv"), package}), 1);
    auto vault = openVault(kVaultPassword);
    QCOMPARE(listedNames(*vault), QStringList{QStringLiteral("gamma.txt")});
}

void StartUpTest::sendToFolderAsksWhenDefaultsAreOff()
{
    const QString original = writeFile(makeFolder(QStringLiteral("docs")) + "/plan.txt", QByteArray("plan"));
    const QString out = makeFolder(QStringLiteral("out"));
    // The dialog shows without blocking; answer it once it is up.
    QTimer answer;
    answer.setInterval(20);
    connect(&answer, &QTimer::timeout, this, [&] {
        QWidget* dialog = visibleTopLevel(QStringLiteral("CKDefaultOffPwdSystem"));
        if (!dialog)
            return;
        answer.stop();
        dialog->findChild<QLineEdit*>(QStringLiteral("zipFileName"))->setText(out + "/plan-package");
        dialog->findChild<QLineEdit*>(QStringLiteral("enterPwd"))->setText(QStringLiteral("Harbour-Lantern-81"));
        dialog->findChild<QLineEdit*>(QStringLiteral("reEnterPwd"))->setText(QStringLiteral("Harbour-Lantern-81"));
        dialog->findChild<QPushButton*>(QStringLiteral("okButton"))->click();
    });
    answer.start();
    QCOMPARE(startWith({QStringLiteral("/sf"), original}), 0);
    QVERIFY(!answer.isActive());
    QCOMPARE(readFile(original), QByteArray("plan"));
    Kist package((out + "/plan-package.kzip").toStdString());
    QVERIFY(package.login("Harbour-Lantern-81"));
    QCOMPARE(listedNames(package), QStringList{QStringLiteral("plan.txt")});
}

void StartUpTest::errorsOutsideTheFlowsAreReported()
{
    setUpVault();
    // An error thrown by a slot while the event loop runs.
    StartUp::setEventLoopRunner([] {
        QTimer::singleShot(0, [] { throw ExceptionModule(L"Broken on purpose.", L""); });
        return QApplication::exec();
    });
    QCOMPARE(startWith({QStringLiteral("/w")}), -1);
    QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Error"));
    QCOMPARE(MessageBox::lastAsked().text, QStringLiteral("Broken on purpose."));

    // An error from a first-launch dialog.
    resetProfile();
    clearDialogHooks();
    StartUp::setModalRunner([](QDialog&) -> int { throw ExceptionModule(L"Dialog failed.", L""); });
    StartUp::setEventLoopRunner([] { return 0; });
    QCOMPARE(startWith({}), -1);
    QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Error"));
    QCOMPARE(MessageBox::lastAsked().text, QStringLiteral("Dialog failed."));
}

int main(int argc, char** argv)
{
    desktoptest::ScratchHome scratchHome;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    VaultDeskApplication app(argc, argv);
    vaultdesk::registerResources();
    MessageBox::answerAllWithoutShowing(true);
    FileDialog::answerAllWithoutShowing(true);
    CKEnterEmail::answerAllWithoutShowing(true);
    StartUpTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "StartUpTest.moc"

void StartUpTest::updateCheckRunsOnlyForTheVaultAndWhenAllowed()
{
    setUpVault();
    UpdateService service(QStringLiteral("Version::0.31.018;Download::x;"));
    QVERIFY(service.isUp());
    qputenv("KORVELIN_UPDATE_SERVER", service.address().toUtf8());
    StartUp::setEventLoopRunner([] { return 0; });
    const auto setting = [](const char* value) {
        Kist settings(false);
        settings.persistConfig("CheckForUpdates", value);
    };

    // Windows that open no vault never ask.
    const QString package = makePackage(makeFolder(QStringLiteral("pk")) + "/open.kzip", {{"a.txt", "a"}}, "");
    QCOMPARE(startWith({QStringLiteral("/w")}), 0);
    QCOMPARE(startWith({package}), 0);
    QCOMPARE(service.requests(), 0);

    // The user's setting, the environment and the system's file each turn it off.
    setting("false");
    QCOMPARE(startWith({}), 0);
    QCOMPARE(service.requests(), 0);
    setting("true");
    qputenv("KORVELIN_NO_UPDATE_CHECK", "1");
    QCOMPARE(startWith({}), 0);
    qunsetenv("KORVELIN_NO_UPDATE_CHECK");
    QCOMPARE(service.requests(), 0);
    const QString systemFolder = makeFolder(QStringLiteral("etc-xdg"));
    writeFile(systemFolder + "/korvelin-safehold.conf", "# set by the distribution\nUpdateCheck = off\n");
    qputenv("XDG_CONFIG_DIRS", (makeFolder(QStringLiteral("empty-xdg")) + ":" + systemFolder).toUtf8());
    QCOMPARE(startWith({}), 0);
    qunsetenv("XDG_CONFIG_DIRS");
    QCOMPARE(service.requests(), 0);

    // Allowed everywhere, the vault's start asks once.
    QCOMPARE(startWith({}), 0);
    QCOMPARE(service.requests(), 1);
}

void StartUpTest::shellSendShowsItsProgressWindow()
{
    const QString restore = makeFolder(QStringLiteral("restore"));
    {
        Kist settings(false);
        settings.persistConfig("DefaultsOn", "true");
        settings.persistConfig("DefaultPassword", "package-pw");
        settings.persistConfig("RestoreFolder", restore.toStdString());
    }
    const QString file = writeFile(makeFolder(QStringLiteral("docs")) + "/big.bin", 8 * 1024 * 1024, 4);
    ProgressWindow::setShowDelayForTests(0);
    ShownProgressWindows shown;
    qApp->installEventFilter(&shown);
    const int status = startWith({QStringLiteral("/sf"), file});
    qApp->removeEventFilter(&shown);
    ProgressWindow::setShowDelayForTests(-1);
    QCOMPARE(status, 0);
    // Beside the window of storing the file, the one of writing the package.
    QVERIFY2(shown.tasks.contains(QStringLiteral("Saving big.bin as a KORVELIN file")), qPrintable(shown.tasks.join('|')));
    QCOMPARE(QDir(restore).entryList({QStringLiteral("*.kzip")}, QDir::Files), QStringList{QStringLiteral("big.kzip")});
}
