// The vault window's lock: whatever starts it (the Lock button, the idle
// time-out, the desktop session over D-Bus), the dialogs the window opened
// close without writing, the engine is logged off and the kept password gone;
// the window manager's close and a long-running mail hand-off never get
// stuck behind a call; Cancel is heard while a package is written.
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDirIterator>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QtTest/qtestspontaneevent.h>

#include "desktop/AutoLock.h"
#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/EngineCall.h"
#include "desktop/StatusProgress.h"
#include "desktop/dialogs/CKBackupRestore.h"
#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultSettings.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "ui_CKMainWindow.h"

using namespace desktoptest;

namespace {

const QString kPasswordMessage = QStringLiteral("Cannot use this feature until you enter your password.");

void clickAt(QWidget* window, QWidget* target)
{
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, target->mapTo(window, target->rect().center()));
}

// What the engine answers a listing: "" when it is logged in.
QString listingRefusal(Kist& engine)
{
    try {
        (void)listedNames(engine);
        return {};
    } catch (const ExceptionModule& error) {
        return QString::fromStdString(error.getMessage());
    }
}

// Every package anywhere in the scratch home.
QStringList packagesWritten()
{
    QStringList found;
    QDirIterator it(scratchRoot(), {QStringLiteral("*.kzip*")}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(it.next());
    return found;
}

void setDefaults(Kist& engine, bool on, const QString& password)
{
    engine.persistConfig("DefaultsOn", on ? "true" : "false");
    engine.persistConfig("DefaultPassword", password.toStdString());
    engine.persistConfig("RestoreFolder", makeFolder(QStringLiteral("restore")).toStdString());
}

} // namespace

class VaultLockTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Kist> engine;
    std::unique_ptr<CKMainWindow> window;
    int quits = 0;
    QProcess bus;
    QStringList packagesBefore;

    // A vault of one entry, its window shown and unlocked from the keyboard.
    void openUnlockedWindow(qint64 entrySize = 100)
    {
        engine = openVault("secret");
        const QString file = writeFile(makeFolder(QStringLiteral("in")) + "/entry.bin", entrySize, 7);
        engine->addFile(file.toStdString(), nullptr, false);
        engine->logoff();
        window = std::make_unique<CKMainWindow>(engine.get(), VaultMode);
        window->setQuitAction([this] { ++quits; });
        window->setVaultMode(true);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        packagesBefore = packagesWritten();
        QTest::keyClicks(window->form()->password, QStringLiteral("secret"));
        QTest::keyClick(window->form()->password, Qt::Key_Return);
        QTRY_VERIFY(window->isUnlocked());
        QTRY_COMPARE(window->form()->lockLabel->geometry(), window->coverOpenGeometry());
        QCOMPARE(window->vaultView()->allNames(), QStringList{"entry.bin"});
    }

    void tickAllAndOpenTheShelf()
    {
        clickAt(window.get(), window->form()->selectAllcheckBox);
        QTRY_VERIFY(window->form()->selectAllcheckBox->isChecked());
        clickAt(window.get(), window->form()->writerButton);
        QTRY_COMPARE(window->form()->writerButtons->pos(), window->shelfOpenPosition());
    }

    // Locked for real: the engine refuses, nothing is kept, nothing was written.
    void verifyLocked()
    {
        QVERIFY(!window->isUnlocked());
        QCOMPARE(listingRefusal(*engine), kPasswordMessage);
        QCOMPARE(window->vaultPassword(), QString());
        QCOMPARE(packagesWritten(), packagesBefore);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // A private bus stands in for the desktop session's and the system's,
        // before anything connects to either.
        bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        if (bus.waitForReadyRead(10000)) {
            const QByteArray address = bus.readLine().trimmed();
            qputenv("DBUS_SESSION_BUS_ADDRESS", address);
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        }
    }

    void cleanupTestCase()
    {
        bus.kill();
        bus.waitForFinished();
    }

    void init()
    {
        resetProfile();
        clearDialogHooks();
        CKMainWindow::overrideTrayAvailable(false);
        quits = 0;
    }

    void cleanup()
    {
        window.reset();
        engine.reset();
        AutoLock::setMinuteLengthForTests(0);
        qunsetenv("MAILER");
    }

    // Each dialog the window opens, typed into as someone at the locked
    // screen would, is closed by the lock; the engine is logged off.
    void lockClosesEveryDialogTheWindowOpened_data()
    {
        QTest::addColumn<QString>("opener");
        QTest::newRow("save to computer") << "SystemButton";
        QTest::newRow("Dropbox") << "dropBoxButton";
        QTest::newRow("e-mail") << "emailButton";
        QTest::newRow("default settings") << "settings";
        QTest::newRow("backup (modal)") << "backup";
        QTest::newRow("change password (modal)") << "password";
    }
    void lockClosesEveryDialogTheWindowOpened()
    {
        QFETCH(QString, opener);
        writeFile(QDir::homePath() + "/.dropbox/info.json",
                  QStringLiteral("{\"personal\": {\"path\": \"%1\"}}").arg(makeFolder("dropbox")).toUtf8());
        openUnlockedWindow();
        setDefaults(*engine, false, QString());
        tickAllAndOpenTheShelf();

        QDialog* dialog = nullptr;
        if (opener == QLatin1String("settings") || opener == QLatin1String("backup") ||
            opener == QLatin1String("password")) {
            const bool modal = opener != QLatin1String("settings");
            dialog = opener == QLatin1String("settings") ? static_cast<QDialog*>(window->defaultSettingsDialog())
                     : opener == QLatin1String("backup") ? static_cast<QDialog*>(window->backupRestoreDialog())
                                                         : static_cast<QDialog*>(window->passwordDialog());
            if (modal) {
                // The session locks while the modal dialog has the keyboard.
                auto* poll = new QTimer(window.get());
                connect(poll, &QTimer::timeout, window.get(), [this, dialog, poll] {
                    if (!dialog->isActiveWindow())
                        return;
                    poll->deleteLater();
                    for (QLineEdit* field : dialog->findChildren<QLineEdit*>())
                        field->setText(QStringLiteral("typed"));
                    window->lockVault();
                });
                poll->start(10);
                if (opener == QLatin1String("backup"))
                    window->BackupMenuSelected();
                else
                    window->changeVaultPwdMenuSelected();
            } else {
                window->SettingsMenuSelected();
            }
        } else {
            clickAt(window.get(), window->findChild<QPushButton*>(opener));
            dialog = opener == QLatin1String("SystemButton") ? static_cast<QDialog*>(window->saveToComputerDialog())
                                                             : static_cast<QDialog*>(window->passwordDialog());
        }
        if (dialog->isVisible()) {
            QTRY_VERIFY(dialog->isActiveWindow());
            for (QLineEdit* field : dialog->findChildren<QLineEdit*>())
                field->setText(QStringLiteral("typed"));
            clickAt(window.get(), window->form()->lockButton);
        }
        QTRY_VERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        for (QLineEdit* field : dialog->findChildren<QLineEdit*>())
            if (field->echoMode() != QLineEdit::Normal)
                QCOMPARE(field->text(), QString());
        verifyLocked();
        // Typing goes to the password field at once.
        QTRY_VERIFY(window->form()->password->hasFocus());

        // Every way in refuses while locked and writes nothing.
        MessageBox::clearAsked();
        QVERIFY(!window->sendSelected(0));
        window->saveToFolder(makeFolder("out"), QStringLiteral("late.kzip"), QStringLiteral("pw"), PackageForm::Standard);
        window->restore_Clicked();
        window->SettingsMenuSelected();
        QVERIFY(!window->defaultSettingsDialog()->isVisible());
        QCOMPARE(MessageBox::asked().size(), 4);
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Vault Locked"));
        verifyLocked();

        // Unlocking logs in again.
        QTest::keyClicks(window->form()->password, QStringLiteral("secret"));
        QTest::keyClick(window->form()->password, Qt::Key_Return);
        QTRY_VERIFY(window->isUnlocked());
        QCOMPARE(listingRefusal(*engine), QString());
        QCOMPARE(window->vaultPassword(), QStringLiteral("secret"));
    }

    // The window manager's close while an operation runs asks, and Close
    // stops the operation at its next safe point, then quits.
    void aWindowManagersCloseDuringACallReachesTheGuard()
    {
        openUnlockedWindow();
        const QString folder = makeFolder("big");
        QList<QUrl> urls;
        for (int i = 0; i < 3; ++i)
            urls.append(QUrl::fromLocalFile(writeFile(folder + QStringLiteral("/big%1.bin").arg(i), 24 * 1024 * 1024, i)));
        bool closed = false;
        connect(window->statusProgress(), &StatusProgress::progressShown, window.get(), [&] {
            if (closed)
                return;
            closed = true;
            MessageBox::setNextAnswer(QMessageBox::Close);
            QCloseEvent close;
            QSpontaneKeyEvent::setSpontaneous(&close);
            QCoreApplication::sendEvent(window->windowHandle(), &close);
        });
        window->vaultView()->addUrls(urls);
        QVERIFY(closed);
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("KORVELIN Safehold"));
        QTRY_COMPARE(quits, 1);
        QVERIFY(listedNames(*engine).size() < 4);
    }

    // A mail program that keeps xdg-email running does not hold the window:
    // Lock works meanwhile, and the hand-off's end is still reported.
    void aMailHandoffThatStaysRunningNeverHoldsTheLock()
    {
        const QString folder = makeFolder(QStringLiteral("mailer"));
        const QString mailer = writeFile(folder + "/mailer.sh",
                                         QStringLiteral("#!/bin/sh\ntouch '%1/started'\n"
                                                        "for i in $(seq 200); do [ -e '%1/release' ] && break; sleep 0.1; done\n"
                                                        "touch '%1/done'\n")
                                             .arg(folder)
                                             .toUtf8());
        QFile::setPermissions(mailer, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        qputenv("MAILER", mailer.toUtf8());
        openUnlockedWindow();
        setDefaults(*engine, true, QStringLiteral("mail-pw"));
        tickAllAndOpenTheShelf();

        clickAt(window.get(), window->form()->emailButton);
        QTRY_VERIFY(QFile::exists(folder + "/started"));
        clickAt(window.get(), window->form()->lockButton);
        QVERIFY(!window->isUnlocked());
        QCOMPARE(listingRefusal(*engine), kPasswordMessage);
        QVERIFY(!QFile::exists(folder + "/done"));

        writeFile(folder + "/release", "");
        QTRY_COMPARE(window->form()->InfoLabel->text(), QStringLiteral("Handed to your mail program"));
    }

    // Cancel while the package is being written: no package, no partial file.
    void cancelWhileAPackageIsWrittenLeavesNothing()
    {
        openUnlockedWindow(48 * 1024 * 1024);
        setDefaults(*engine, true, QStringLiteral("pkg"));
        const QString restore = QString::fromStdString(engine->retrieveConfig("RestoreFolder"));
        tickAllAndOpenTheShelf();
        int reports = 0;
        connect(window->statusProgress(), &StatusProgress::progressShown, window.get(), [&] {
            // The first report names the entry; the next come from the writing.
            if (++reports == 2)
                QTest::mouseClick(window->statusProgress()->cancelButton(), Qt::LeftButton);
        });
        clickAt(window.get(), window->form()->SystemButton);
        QTRY_VERIFY(!EngineCall::isRunning());
        QVERIFY(reports >= 2);
        QCOMPARE(QDir(restore).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QVERIFY2(window->form()->InfoLabel->text().startsWith(QLatin1String("Cancelled")),
                 qPrintable(window->form()->InfoLabel->text()));
    }

    // Cancel while one large entry is taken out is heard inside it: nothing
    // arrives, the entry stays in the vault, and the status says so.
    void cancelDuringTheTakeOutOfOneLargeEntryKeepsItInTheVault()
    {
        openUnlockedWindow(64 * 1024 * 1024);
        setDefaults(*engine, true, QStringLiteral("pkg"));
        const QString restore = QString::fromStdString(engine->retrieveConfig("RestoreFolder"));
        clickAt(window.get(), window->form()->selectAllcheckBox);
        QTRY_VERIFY(window->form()->selectAllcheckBox->isChecked());
        int reports = 0;
        connect(window->statusProgress(), &StatusProgress::progressShown, window.get(), [&] {
            // The first report names the entry before any of its bytes.
            if (++reports == 1)
                QTest::mouseClick(window->statusProgress()->cancelButton(), Qt::LeftButton);
        });
        clickAt(window.get(), window->form()->restoreButton);
        QTRY_VERIFY(!EngineCall::isRunning());
        QVERIFY(reports >= 1);
        QCOMPARE(QDir(restore).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(window->form()->InfoLabel->text(),
                 QStringLiteral("Took out 0 of 1 to %1; 1 not taken out (cancelled)").arg(restore));
        QCOMPARE(listedNames(*engine), QStringList{"entry.bin"});
        QCOMPARE(window->vaultView()->allNames(), QStringList{"entry.bin"});
    }

    void anIdleVaultLocksItself()
    {
        // Longer than the cover's slide, which the unlock waits for.
        AutoLock::setMinuteLengthForTests(2500);
        {
            Kist settings(false);
            settings.persistConfig(AutoLock::settingName, "1");
        }
        openUnlockedWindow();
        QVERIFY(window->autoLocker());
        QCOMPARE(window->autoLocker()->idleMinutes(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!window->isUnlocked(), 10000);
        verifyLocked();
    }

    // The desktop session's screen lock and the system's sleep lock the vault.
    void theSessionsLockAndSleepLockTheVault_data()
    {
        QTest::addColumn<QStringList>("signal");
        QTest::newRow("screen saver") << QStringList{"/org/freedesktop/ScreenSaver",
                                                     "org.freedesktop.ScreenSaver.ActiveChanged", "boolean:true"};
        QTest::newRow("sleep") << QStringList{"/org/freedesktop/login1", "org.freedesktop.login1.Manager.PrepareForSleep",
                                              "boolean:true"};
        QTest::newRow("session lock") << QStringList{"/org/freedesktop/login1/session/_32",
                                                     "org.freedesktop.login1.Session.Lock"};
    }
    void theSessionsLockAndSleepLockTheVault()
    {
        QFETCH(QStringList, signal);
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("dbus-daemon is not installed");
        openUnlockedWindow();
        // logind was asked which session this is (there is none on this bus).
        QTRY_VERIFY(window->autoLocker()->watchesSessionLock());
        QCOMPARE(QProcess::execute(QStringLiteral("dbus-send"), QStringList{"--session", "--type=signal"} + signal), 0);
        QTRY_VERIFY(!window->isUnlocked());
        verifyLocked();
    }
};

VAULTDESK_TEST_MAIN(VaultLockTest)
#include "VaultLockTest.moc"
