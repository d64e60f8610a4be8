#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTreeView>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/EngineCall.h"
#include "desktop/ExternalLink.h"
#include "desktop/StatusProgress.h"
#include "desktop/WebAddresses.h"
#include "desktop/dialogs/CKBackupRestore.h"
#include "desktop/dialogs/CKDefaultSettings.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "ui_CKMainWindow.h"

namespace {

QStringList menuTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts.append(action->text());
    return texts;
}

void typePassword(CKMainWindow& window, const QString& password)
{
    QLineEdit* field = window.form()->password;
    field->setText(password);
    QTest::keyClick(field, Qt::Key_Return);
}

// A package of one file, written by the vault engine, and its password.
QString writePackage(Kist& vault, const QString& folder)
{
    const QString file = desktoptest::writeFile(folder + "/inside.txt", QByteArray("package body"));
    vault.addFile(file.toStdString(), nullptr, false);
    const QString package = folder + "/sent.kzip";
    vault.exportFiles(package.toStdString(), {"inside.txt"}, "pkg");
    return package;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CKMainWindow> makeWindow(Kist* engine, WindowMode mode)
    {
        auto window = std::make_unique<CKMainWindow>(engine, mode);
        window->setQuitAction([this] { ++quits; });
        window->setVaultMode(mode == VaultMode);
        return window;
    }

    int quits = 0;

private Q_SLOTS:
    void init()
    {
        desktoptest::resetProfile();
        desktoptest::clearDialogHooks();
        ExternalLink::setOpener([](const QUrl&) { return true; });
        ExternalLink::clearOpened();
        CKMainWindow::overrideTrayAvailable(false);
        quits = 0;
    }

    void aWrongOrEmptyPasswordKeepsTheVaultLockedAndEveryUnlockAsksTheEngine()
    {
        auto engine = desktoptest::openVault("secret");
        engine->addFile(desktoptest::writeFile(desktoptest::makeFolder("in") + "/a.txt", "a").toStdString(), nullptr,
                        false);
        auto window = makeWindow(engine.get(), VaultMode);
        Ui::CKMainWindow* ui = window->form();
        QVERIFY(!window->isUnlocked());
        QVERIFY(!window->vaultView()->isEnabled());

        typePassword(*window, "wrong");
        QVERIFY(!window->isUnlocked());
        QCOMPARE(ui->password->text(), QString());
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Wrong Password"));
        QCOMPARE(MessageBox::lastAsked().text, QStringLiteral("Enter the correct password to unlock the Vault."));

        MessageBox::clearAsked();
        ui->lockButton->click(); // empty field
        QVERIFY(!window->isUnlocked());
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Wrong Password"));

        typePassword(*window, "secret");
        QVERIFY(window->isUnlocked());
        QCOMPARE(window->vaultPassword(), QStringLiteral("secret"));
        QVERIFY(window->vaultView()->isEnabled());
        QVERIFY(!ui->password->isEnabled());
        QCOMPARE(window->vaultView()->allNames(), QStringList{"a.txt"});
        QCOMPARE(ui->lockButton->toolTip(), QStringLiteral("Lock the Vault"));
        QTRY_COMPARE(ui->lockLabel->geometry(), window->coverOpenGeometry());

        ui->lockButton->click(); // lock
        QVERIFY(!window->isUnlocked());
        QVERIFY(!window->vaultView()->isEnabled());
        QCOMPARE(ui->lockButton->text(), QStringLiteral("U\nn\n\nl\no\nc\nk"));
        QTRY_COMPARE(ui->lockLabel->geometry(), window->coverClosedGeometry());

        // The password changes behind the window: the old one no longer unlocks.
        {
            Kist other(true);
            other.setPassword("newer", "secret");
        }
        typePassword(*window, "secret");
        QVERIFY(!window->isUnlocked());
        typePassword(*window, "newer");
        QVERIFY(window->isUnlocked());
        QCOMPARE(window->vaultPassword(), QStringLiteral("newer"));
    }

    void theMenuFollowsModeAndLockState()
    {
        // Adding comes first wherever the view takes files (a separator follows).
        const QStringList kAdding{"Add Files…", "Add Folder…", ""};
        auto engine = desktoptest::openVault("secret");
        engine->addFile(desktoptest::writeFile(desktoptest::makeFolder("in") + "/a.txt", "a").toStdString(), nullptr,
                        false);
        {
            auto window = makeWindow(engine.get(), VaultMode);
            QCOMPARE(menuTexts(window->optionsMenu()),
                     (kAdding + QStringList{"Change Vault Password", "Default Settings", "Select Skin", "Feedback", "About"}));
            typePassword(*window, "secret");
            QCOMPARE(menuTexts(window->optionsMenu()),
                     (kAdding + QStringList{"Change Vault Password", "Default Settings", "Select Skin", "Backup Vault",
                                  "Restore Vault", "Feedback", "About"}));
            QVERIFY(window->form()->writerButton->isVisibleTo(window.get()));
            window->form()->lockButton->click();
            QCOMPARE(menuTexts(window->optionsMenu()),
                     (kAdding + QStringList{"Change Vault Password", "Default Settings", "Select Skin", "Feedback", "About"}));
            QVERIFY(!window->form()->writerButton->isVisibleTo(window.get()));
        }

        // The lock logged the engine off.
        QVERIFY(engine->login("secret"));
        const QString package = writePackage(*engine, desktoptest::makeFolder("package"));
        {
            Kist reader(package.toStdString());
            QVERIFY(reader.login("pkg"));
            auto window = makeWindow(&reader, OpenFileMode);
            QCOMPARE(menuTexts(window->optionsMenu()), (QStringList{"Feedback", "About"}));
            for (QWidget* hidden : {static_cast<QWidget*>(window->form()->SystemButton),
                                    static_cast<QWidget*>(window->form()->dropBoxButton),
                                    static_cast<QWidget*>(window->form()->emailButton),
                                    static_cast<QWidget*>(window->form()->restoreButton),
                                    static_cast<QWidget*>(window->form()->writerButton)})
                QVERIFY2(!hidden->isVisibleTo(window.get()), qPrintable(hidden->objectName()));
            QVERIFY(window->form()->extractButton->isVisibleTo(window.get()));
            QVERIFY(!window->form()->lockLabel->isVisibleTo(window.get()));
            // Nothing to unlock: the package's entries are listed at once.
            QCOMPARE(window->vaultView()->allNames(), QStringList{"inside.txt"});
        }
        {
            Kist composer(false);
            auto window = makeWindow(&composer, FileCreatorMode);
            QCOMPARE(menuTexts(window->optionsMenu()), (kAdding + QStringList{"Default Settings", "Feedback", "About"}));
            QVERIFY(window->form()->writerButton->isChecked());
            QVERIFY(!window->form()->writerButton->isVisibleTo(window.get()));
            QTRY_COMPARE(window->form()->writerButtons->pos(), window->shelfOpenPosition());
        }
    }

    void anEmptyVaultOffersNoSelectionAndNoSending()
    {
        auto engine = desktoptest::openVault("secret");
        auto window = makeWindow(engine.get(), VaultMode);
        Ui::CKMainWindow* ui = window->form();
        typePassword(*window, "secret");
        QVERIFY(window->isUnlocked());
        QVERIFY(!ui->selectAllcheckBox->isVisibleTo(window.get()));
        QVERIFY(!ui->restoreButton->isVisibleTo(window.get()));
        // (The send buttons sit on the shelf, which is closed and disabled as a whole.)
        QVERIFY(!ui->SystemButton->isEnabledTo(ui->writerButtons));
        QVERIFY(!ui->dropBoxButton->isEnabledTo(ui->writerButtons));
        QVERIFY(!ui->emailButton->isEnabledTo(ui->writerButtons));

        window->vaultView()->addUrls(
            {QUrl::fromLocalFile(desktoptest::writeFile(desktoptest::makeFolder("in") + "/b.txt", "b"))});
        QVERIFY(ui->selectAllcheckBox->isVisibleTo(window.get()));
        QVERIFY(ui->restoreButton->isVisibleTo(window.get()));
        QVERIFY(ui->emailButton->isEnabledTo(ui->writerButtons));

        // "Select All" ticks every entry; the shelf opens and closes with its toggle.
        ui->selectAllcheckBox->click();
        QCOMPARE(window->vaultView()->selectedNames(), QStringList{"b.txt"});
        QVERIFY(!ui->writerButtons->isEnabled());
        ui->writerButton->click();
        QVERIFY(ui->writerButtons->isEnabled());
        QCOMPARE(ui->writerButton->toolTip(), QStringLiteral("Hide writer shelf"));
        QTRY_COMPARE(ui->writerButtons->pos(), window->shelfOpenPosition());
        ui->writerButton->click();
        QVERIFY(!ui->writerButtons->isEnabled());
        QTRY_COMPARE(ui->writerButtons->pos(), window->shelfClosedPosition());
        QCOMPARE(window->shelfClosedPosition().y(), -ui->writerButtons->height());
    }

    void theDefaultsSwitchNeedsAPasswordAndAFolder()
    {
        auto engine = desktoptest::openVault("secret");
        engine->persistConfig("DefaultPassword", "pkg");
        engine->persistConfig("RestoreFolder", "");
        auto window = makeWindow(engine.get(), VaultMode);
        typePassword(*window, "secret");
        window->form()->writerButton->click(); // the switch sits on the shelf
        QPushButton* toggle = window->form()->DefaultButton;
        // The window stores the restored-files folder when none is set.
        QVERIFY(!engine->retrieveConfig("RestoreFolder").empty());

        engine->persistConfig("RestoreFolder", "");
        toggle->click();
        QVERIFY(!toggle->isChecked());
        QCOMPARE(toggle->text(), QStringLiteral("Defaults\nOff"));
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("No Default Settings"));
        QVERIFY(engine->retrieveConfig("DefaultsOn") != "true");

        engine->persistConfig("RestoreFolder", desktoptest::makeFolder("restore").toStdString());
        toggle->click();
        QVERIFY(toggle->isChecked());
        QCOMPARE(engine->retrieveConfig("DefaultsOn"), std::string("true"));
        QCOMPARE(toggle->toolTip(), QStringLiteral("Use default settings for folders and passwords"));

        // A new window shows the stored switch.
        auto second = makeWindow(engine.get(), VaultMode);
        QVERIFY(second->form()->DefaultButton->isChecked());
        QCOMPARE(second->form()->DefaultButton->text(), QStringLiteral("Defaults\nOn"));

        toggle->click();
        QCOMPARE(engine->retrieveConfig("DefaultsOn"), std::string("false"));
        QCOMPARE(toggle->text(), QStringLiteral("Defaults\nOff"));
    }

    void anUnknownStoredSkinChecksBlack()
    {
        auto engine = desktoptest::openVault("secret");
        engine->persistConfig("Skin", "green");
        auto window = makeWindow(engine.get(), VaultMode);
        const QMenu* skins = nullptr;
        for (const QAction* action : window->optionsMenu()->actions())
            if (action->menu())
                skins = action->menu();
        QVERIFY(skins);
        QStringList checked;
        for (const QAction* action : skins->actions())
            if (action->isChecked())
                checked.append(action->text());
        QCOMPARE(checked, QStringList{"Black"});
        skins->actions().at(2)->trigger();
        QCOMPARE(engine->retrieveConfig("Skin"), std::string("pink"));
        QVERIFY(skins->actions().at(2)->isChecked());
        QVERIFY(!skins->actions().at(0)->isChecked());
    }

    void closingWithoutAnOperationQuitsWithoutAsking()
    {
        auto engine = desktoptest::openVault("secret");
        auto window = makeWindow(engine.get(), VaultMode);
        typePassword(*window, "secret");
        window->form()->closeButton->click();
        QCOMPARE(quits, 1);
        QVERIFY(MessageBox::asked().isEmpty() ||
                MessageBox::lastAsked().title != QStringLiteral("KORVELIN Safehold"));
        // The kept password does not outlive the window's close.
        QCOMPARE(window->vaultPassword(), QString());
    }

    void closingDuringAnOperationStopsItAtASafePointThenQuits()
    {
        auto engine = desktoptest::openVault("secret");
        auto window = makeWindow(engine.get(), VaultMode);
        typePassword(*window, "secret");
        const QString folder = desktoptest::makeFolder("big");
        QList<QUrl> urls;
        for (int i = 0; i < 3; ++i)
            urls.append(QUrl::fromLocalFile(desktoptest::writeFile(folder + QStringLiteral("/big%1.bin").arg(i),
                                                                   24 * 1024 * 1024, i)));

        // First the user thinks better of it, then closes for good; both
        // through the close button, which stays usable while the work runs.
        int presses = 0;
        bool wasRunning = false;
        connect(window->statusProgress(), &StatusProgress::progressShown, window.get(), [&] {
            if (presses == 0) {
                ++presses;
                MessageBox::setNextAnswer(QMessageBox::Cancel);
                QTest::mouseClick(window->form()->closeButton, Qt::LeftButton);
                QCOMPARE(quits, 0);
            } else if (presses == 1) {
                ++presses;
                wasRunning = EngineCall::isRunning();
                MessageBox::setNextAnswer(QMessageBox::Close);
                QTest::mouseClick(window->form()->closeButton, Qt::LeftButton);
                // Never in the middle of a step.
                QCOMPARE(quits, 0);
            }
        });
        window->vaultView()->addUrls(urls);
        QVERIFY(wasRunning);
        QCOMPARE(presses, 2);
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("KORVELIN Safehold"));
        QCOMPARE(MessageBox::lastAsked().kind, MessageBox::Kind::Warning);
        QTRY_COMPARE(quits, 1);
        // The entry under way was finished, the rest never started.
        const QStringList stored = desktoptest::listedNames(*engine);
        QVERIFY2(!stored.isEmpty() && stored.size() < urls.size(), qPrintable(stored.join(',')));
    }

    void minimisingLocksAndHidesToATrayOnlyWhenThereIsOne()
    {
        auto engine = desktoptest::openVault("secret");
        {
            auto window = makeWindow(engine.get(), VaultMode);
            QVERIFY(!window->trayIcon());
            window->show();
            typePassword(*window, "secret");
            window->form()->minButton->click();
            QVERIFY(!window->isUnlocked());
            QVERIFY(window->isVisible());
            QVERIFY(window->windowState() & Qt::WindowMinimized);
            window->showWindow();
            QVERIFY(!(window->windowState() & Qt::WindowMinimized));
            QVERIFY(!window->isUnlocked());
        }
        CKMainWindow::overrideTrayAvailable(true);
        auto window = makeWindow(engine.get(), VaultMode);
        QVERIFY(window->trayIcon());
        QCOMPARE(window->trayIcon()->toolTip(), QStringLiteral("KORVELIN Safehold"));
        window->show();
        typePassword(*window, "secret");
        window->form()->minButton->click();
        QVERIFY(!window->isVisible());
        QVERIFY(!window->isUnlocked());
        Q_EMIT window->trayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window->isVisible());
        QVERIFY(!window->isUnlocked());
    }

    void feedbackAndAboutUseTheProjectsAddressesAndTheStoredVersion()
    {
        auto engine = desktoptest::openVault("secret");
        engine->persistConfig("Version", "9.8.7");
        auto window = makeWindow(engine.get(), VaultMode);
        window->FeedbackMenuSelected();
        QCOMPARE(ExternalLink::opened(), QList<QUrl>{QUrl(QString::fromLatin1(WebAddresses::feedbackForm))});
        window->AboutMenuSelected();
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("KORVELIN Safehold"));
        QVERIFY(MessageBox::lastAsked().text.contains(QStringLiteral("Version 9.8.7")));
        QVERIFY(MessageBox::lastAsked().text.contains(QString::fromLatin1(WebAddresses::makerWebSite)));
    }

    void theTitleBarMovesTheWindowByHandWhereNoSystemMoveIsOffered()
    {
        auto engine = desktoptest::openVault("secret");
        auto window = makeWindow(engine.get(), VaultMode);
        window->move(100, 100);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QLabel* title = window->form()->menuBar;
        const QPoint pressAt(60, 20);
        QTest::mousePress(title, Qt::LeftButton, Qt::NoModifier, pressAt);
        const QPoint before = window->pos();
        QMouseEvent moveEvent(QEvent::MouseMove, QPointF(pressAt + QPoint(30, 15)),
                              QPointF(title->mapToGlobal(pressAt + QPoint(30, 15))), Qt::NoButton, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(title, &moveEvent);
        QTest::mouseRelease(title, Qt::LeftButton, Qt::NoModifier, pressAt + QPoint(30, 15));
        QCOMPARE(window->pos(), before + QPoint(30, 15));
    }

    // The engine remembers the Dropbox folder once found, so the desktop
    // without Dropbox is tested here, where no test ever sets one up.
    void withoutDropboxSettingsHideItsRowAndBackupsStopWithTheInstallLink()
    {
        auto engine = desktoptest::openVault("secret");
        engine->addFile(desktoptest::writeFile(desktoptest::makeFolder("in") + "/a.txt", "a").toStdString(), nullptr,
                        false);
        auto window = makeWindow(engine.get(), VaultMode);
        typePassword(*window, "secret");

        window->SettingsMenuSelected();
        CKDefaultSettings* dialog = window->defaultSettingsDialog();
        QVERIFY(!dialog->findChild<QLineEdit*>("dropBoxFolder")->isVisibleTo(dialog));
        QVERIFY(!dialog->findChild<QPushButton*>("selectDBFolder")->isVisibleTo(dialog));
        dialog->findChild<QLineEdit*>("currentPwd")->setText("secret");
        dialog->okButtonClicked();
        QCOMPARE(window->form()->InfoLabel->toolTip(), QStringLiteral("Default settings updated"));
        QVERIFY(engine->retrieveConfig("DropboxFolder").empty());

        CKBackupRestore* backup = window->backupRestoreDialog();
        for (int mode : {CKBackupRestore::Backup, CKBackupRestore::Restore}) {
            MessageBox::clearAsked();
            backup->setMode(mode);
            backup->findChild<QComboBox*>("optionsComboBox")->setCurrentText("Dropbox");
            backup->okButtonClicked();
            QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("No Dropbox"));
            QVERIFY(MessageBox::lastAsked().text.contains(QStringLiteral("Install Dropbox</span></a>")));
            QCOMPARE(window->form()->InfoLabel->toolTip(), mode == CKBackupRestore::Backup
                                                                ? QStringLiteral("Backup to Dropbox Failed!")
                                                                : QStringLiteral("Restore from Dropbox Failed!"));
        }
    }

    void droppedPicturesAreIgnoredOutsideTheVault()
    {
        Kist composer(false);
        auto window = makeWindow(&composer, FileCreatorMode);
        const QString status = window->form()->InfoLabel->text();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(desktoptest::writeFile(desktoptest::makeFolder("p") + "/x.txt", "x"))});
        QDragEnterEvent enter(QPoint(5, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &drop);
        QCOMPARE(window->form()->InfoLabel->text(), status);
        QCOMPARE(composer.retrieveConfig("pixmap"), std::string());
    }
};

VAULTDESK_TEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
