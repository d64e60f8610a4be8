#include <QCheckBox>
#include <QRegularExpression>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "desktop/StrengthMeter.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "tests/desktop/SendTestSupport.h"

using desktoptest::makeFolder;
using desktoptest::readFile;
using sendtest::FakeSendWindow;
using sendtest::storeFile;

namespace {

QLineEdit* edit(QWidget* dialog, const char* name)
{
    return dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
}

QString labelText(QWidget* dialog, const char* name)
{
    return dialog->findChild<QLabel*>(QString::fromLatin1(name))->text();
}

void fill(QWidget* dialog, const QString& first, const QString& second, const QString& third = QString())
{
    edit(dialog, "zipFileName")->setText(first);
    edit(dialog, "enterPwd")->setText(second);
    edit(dialog, "reEnterPwd")->setText(third);
}

QStringList rows(QWidget* dialog)
{
    return {edit(dialog, "zipFileName")->text(), edit(dialog, "enterPwd")->text(), edit(dialog, "reEnterPwd")->text()};
}

// The last box's title and body.
QStringList lastBox()
{
    return {MessageBox::lastAsked().title, MessageBox::lastAsked().text};
}

// The line edits and buttons that Tab reaches from first, in order.
QStringList tabWalk(QWidget* first)
{
    QStringList names;
    QWidget* widget = first;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) && widget->isVisibleTo(first->window()) &&
            (qobject_cast<QLineEdit*>(widget) || qobject_cast<QAbstractButton*>(widget)))
            names.append(widget->objectName());
        widget = widget->nextInFocusChain();
    } while (widget != first);
    return names;
}

// A package of the given entries written by a temporary vault.
QString writePackage(const QString& name, const std::string& password, const QStringList& entries)
{
    Kist composer(false);
    composer.login("");
    for (const QString& entry : entries)
        storeFile(composer, entry, entry.toUtf8());
    const QString path = makeFolder("packages") + "/" + name;
    std::vector<std::string> names;
    for (const QString& entry : entries)
        names.push_back(entry.toStdString());
    composer.exportFiles(path.toStdString(), names, password);
    return path;
}

bool opensWith(const std::string& password)
{
    return Kist(true).login(password);
}

} // namespace

class PasswordDialogsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        dropbox = makeFolder("Dropbox");
        sendtest::installDropbox(dropbox);
        dropbox = QString::fromStdString(Kist::getFolder(DropboxDir));
    }

    void init()
    {
        desktoptest::resetProfile();
        desktoptest::clearDialogHooks();
    }

    void modesSetTitlesRowsAndEchoes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QString>("echoes"); // per row: p = dots, t = plain, - = hidden
        QTest::addColumn<QString>("firstRow");
        const QStringList send{"Enter the name of KORVELIN file:", "Password for KORVELIN file:", "Re-enter password:"};
        QTest::newRow("0") << 0 << "Encrypt and send to Dropbox" << send << "tpp" << "MyFiles.kzip";
        QTest::newRow("1") << 1 << "Encrypt and Email" << send << "tpp" << "MyFiles.kzip";
        QTest::newRow("2") << 2 << "Welcome to KORVELIN Safehold"
                           << QStringList{"Enter Vault password:", "Re-enter Vault password:", "Enter Email address:"}
                           << "ppt" << "";
        QTest::newRow("3") << 3 << "Extract KORVELIN file to my KORVELIN Vault"
                           << QStringList{"Enter KORVELIN file password:", "Enter Vault password:", ""} << "pp-" << "";
        QTest::newRow("4") << 4 << "Change Vault Password"
                           << QStringList{"Current Vault password:", "New Vault password:", "Re-enter Vault password:"}
                           << "ppp" << "";
        QTest::newRow("5") << 5 << "Welcome to KORVELIN Safehold"
                           << QStringList{"Enter Email address:", "Enter Vault password:", ""} << "tp-" << "";
    }
    void modesSetTitlesRowsAndEchoes()
    {
        QFETCH(int, mode);
        QFETCH(QString, title);
        QFETCH(QStringList, labels);
        QFETCH(QString, echoes);
        QFETCH(QString, firstRow);
        auto engine = desktoptest::openVault();
        CKDefaultsOffPwd dialog(nullptr, engine.get());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Dialog"));
        fill(&dialog, "a", "b", "c");
        dialog.setMode(mode);
        QCOMPARE(dialog.windowTitle(), title);
        QVERIFY(!labelText(&dialog, "info").isEmpty());
        const char* labelNames[] = {"zipFileNameLabel", "enterPwdLabel", "reEnterPwdLabel"};
        const char* editNames[] = {"zipFileName", "enterPwd", "reEnterPwd"};
        for (int row = 0; row < 3; ++row) {
            QLineEdit* line = edit(&dialog, editNames[row]);
            QCOMPARE(line->isHidden(), echoes[row] == '-');
            QCOMPARE(dialog.findChild<QLabel*>(labelNames[row])->isHidden(), echoes[row] == '-');
            if (echoes[row] == '-')
                continue;
            QCOMPARE(labelText(&dialog, labelNames[row]), labels[row]);
            QCOMPARE(line->echoMode(), echoes[row] == 'p' ? QLineEdit::Password : QLineEdit::Normal);
        }
        QCOMPARE(rows(&dialog), (QStringList{firstRow, "", ""}));

        // An unknown mode leaves everything as it was.
        fill(&dialog, "x", "y", "z");
        dialog.setMode(9);
        QCOMPARE(dialog.windowTitle(), title);
        QCOMPARE(rows(&dialog), (QStringList{"x", "y", "z"}));
    }

    void sendModesCheckTheRowsAndSettleTheName()
    {
        auto engine = desktoptest::openVault();
        FakeSendWindow window(engine.get());
        window.carryOut = false;
        CKDefaultsOffPwd* dialog = window.pwdDialog;

        dialog->setMode(0);
        fill(dialog, "report", "Harbour-Lantern-81", "");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Enter all Information, please.", "You must enter all the three values."}));
        fill(dialog, "report", "Harbour-Lantern-81", "pW");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Invalid Password!",
                                         "New password and re-entered password do not match. Try again."}));
        QCOMPARE(rows(dialog), (QStringList{"report", "Harbour-Lantern-81", "pW"}));
        // A name is not a path: the package could land outside the folder.
        fill(dialog, "../report", "Harbour-Lantern-81", "Harbour-Lantern-81");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox().first(), QStringLiteral("Invalid Name!"));
        QVERIFY(window.handOvers.isEmpty());

        const QStringList typed{"report", "report.kzip", "report.", "REPORT.KZIP"};
        const QStringList settled{"report.kzip", "report.kzip", "report..kzip", "REPORT.KZIP.kzip"};
        for (int i = 0; i < typed.size(); ++i) {
            dialog->setMode(0);
            fill(dialog, typed[i], "Harbour-Lantern-81", "Harbour-Lantern-81");
            QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Accepted));
            QCOMPARE(window.handOvers.last().entryPoint, QStringLiteral("dropbox"));
            QCOMPARE(window.handOvers.last().folder, dropbox);
            QCOMPARE(window.handOvers.last().packageName, settled[i]);
            QCOMPARE(window.handOvers.last().password, QStringLiteral("Harbour-Lantern-81"));
            QVERIFY(window.handOvers.last().form == PackageForm::Standard);
            QCOMPARE(rows(dialog), (QStringList{typed[i], "", ""}));
            QVERIFY(dialog->hideTimer()->isActive());
            QCOMPARE(dialog->hideTimer()->interval(), 1000);
        }
        dialog->show();
        QVERIFY(!dialog->hideTimer()->isActive());
        dialog->hide();

        // The hardened form goes with that one hand-over; the next starts standard.
        dialog->setMode(1);
        auto* hardened = dialog->findChild<QCheckBox*>("hardenedPackage");
        QVERIFY(hardened->isVisibleTo(dialog) && !hardened->isChecked());
        hardened->setChecked(true);
        fill(dialog, "holiday", "secret Harbour-Lantern-81", "secret Harbour-Lantern-81");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Accepted));
        QCOMPARE(window.handOvers.last().entryPoint, QStringLiteral("email"));
        QCOMPARE(window.handOvers.last().packageName, QStringLiteral("holiday.kzip"));
        QCOMPARE(window.handOvers.last().password, QStringLiteral("secret Harbour-Lantern-81"));
        QVERIFY(window.handOvers.last().form == PackageForm::Hardened);
        QVERIFY(!hardened->isChecked());
        // Opened next in a mode without the box, the dialog keeps no room for it.
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        const int withBox = dialog->height();
        dialog->hide();
        CKDefaultsOffPwd fresh(&window, engine.get());
        fresh.setMode(4);
        fresh.show();
        QVERIFY(QTest::qWaitForWindowExposed(&fresh));
        dialog->setMode(4);
        QVERIFY(!hardened->isVisibleTo(dialog));
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QVERIFY(withBox > fresh.height());
        QCOMPARE(dialog->size(), fresh.size());
        dialog->hide();
    }

    void aTypedDropboxNameThatExistsIsReplacedOnlyWithAYes()
    {
        auto engine = desktoptest::openVault();
        storeFile(*engine, "photo.jpg", "photo");
        FakeSendWindow window(engine.get());
        window.view->refresh();
        desktoptest::writeFile(dropbox + "/report.kzip", "keep me");
        CKDefaultsOffPwd* dialog = window.pwdDialog;

        window.tick({"photo.jpg"});
        dialog->setMode(0);
        fill(dialog, "report", "Harbour-Lantern-81", "Harbour-Lantern-81");
        MessageBox::setNextAnswer(QMessageBox::No);
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(MessageBox::lastAsked().kind, MessageBox::Kind::Question);
        QVERIFY(window.handOvers.isEmpty());
        QCOMPARE(rows(dialog), (QStringList{"report", "Harbour-Lantern-81", "Harbour-Lantern-81"}));
        QCOMPARE(readFile(dropbox + "/report.kzip"), QByteArray("keep me"));

        MessageBox::setNextAnswer(QMessageBox::Yes);
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Accepted));
        QCOMPARE(window.lastPackage, dropbox + "/report.kzip");
        QVERIFY(sendtest::packageHolds(dropbox + "/report.kzip", "Harbour-Lantern-81", {"photo.jpg"}));
        QCOMPARE(window.status->text(), QStringLiteral("Created %1/report.kzip").arg(dropbox));
    }

    void welcomeSetsTheVaultPasswordAndTheAddress()
    {
        Kist engine(true);
        CKDefaultsOffPwd dialog(nullptr, &engine);
        dialog.setMode(2);
        const QString allThree = QStringLiteral(
            "You must enter all the three values - Vault password, re-entered Vault password, and Email address.");
        fill(&dialog, "vault Harbour-Lantern-81", "vault Harbour-Lantern-81", "");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Enter all Information, please.", allThree}));
        fill(&dialog, "vault Harbour-Lantern-81", "vault PW", "ann@example.org");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Invalid Password!", "Password and re-entered password do not match. Try again."}));
        fill(&dialog, "vault Harbour-Lantern-81", "vault Harbour-Lantern-81", "ann@localhost");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Invalid Email!",
                                         "Enter a correct email address. This is needed to reset your Vault password."}));
        QVERIFY(engine.isEmptyEmail());

        fill(&dialog, "vault Harbour-Lantern-81", "vault Harbour-Lantern-81", "ann@example.org");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Accepted));
        QCOMPARE(rows(&dialog), (QStringList{"", "", ""}));
        QVERIFY(dialog.hideTimer()->isActive());
        QVERIFY(opensWith("vault Harbour-Lantern-81"));
        QCOMPARE(engine.retrieveConfig("EmailD"), std::string("ann@example.org"));
    }

    // The welcome offers a hardened vault, off unless ticked; ticked, the
    // new vault is hardened and its recovery key shown once. In the hardened
    // vault's password change that key stands in for the current password.
    void theWelcomeCanHardenTheNewVaultAndItsRecoveryKeyChangesThePassword()
    {
        QString recoveryKey;
        {
            Kist engine(true);
            CKDefaultsOffPwd dialog(nullptr, &engine);
            dialog.setMode(CKDefaultsOffPwd::Welcome);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            auto* harden = dialog.findChild<QCheckBox*>("hardenVault");
            QVERIFY(harden->isVisible());
            QVERIFY(!harden->isChecked());
            QTest::mouseClick(dialog.windowHandle(), Qt::LeftButton, {},
                              harden->mapTo(&dialog, QPoint(8, harden->height() / 2)));
            QVERIFY(harden->isChecked());
            fill(&dialog, "vault Harbour-Lantern-81", "vault Harbour-Lantern-81", "ann@example.org");
            QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Accepted));
            QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Recovery key"));
            recoveryKey = QRegularExpression(QStringLiteral("([A-Z2-7]{4}-){12}[A-Z2-7]{4}"))
                              .match(MessageBox::lastAsked().text)
                              .captured(0);
            QVERIFY(!recoveryKey.isEmpty());
            QCOMPARE(QString::fromStdString(engine.vaultInfo().format), QStringLiteral("hardened"));
            // Another mode of the same dialog does not offer it.
            dialog.setMode(CKDefaultsOffPwd::ChangeVaultPassword);
            QVERIFY(!harden->isVisible());
        }
        QVERIFY(opensWith("vault Harbour-Lantern-81"));

        auto engine = desktoptest::openVault("vault Harbour-Lantern-81");
        FakeSendWindow window(engine.get());
        window.keepVaultPassword("vault Harbour-Lantern-81");
        CKDefaultsOffPwd* dialog = window.pwdDialog;
        dialog->setMode(CKDefaultsOffPwd::ChangeVaultPassword);
        QCOMPARE(labelText(dialog, "zipFileNameLabel"), QStringLiteral("Current Vault password or recovery key:"));
        fill(dialog, "AAAA" + recoveryKey.mid(4), "after Recovery-Marble-77", "after Recovery-Marble-77");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox().first(), QStringLiteral("Wrong Password"));
        QVERIFY(opensWith("vault Harbour-Lantern-81"));
        fill(dialog, recoveryKey, "after Recovery-Marble-77", "after Recovery-Marble-77");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Accepted));
        QCOMPARE(window.vaultPassword(), QStringLiteral("after Recovery-Marble-77"));
        QVERIFY(!opensWith("vault Harbour-Lantern-81"));
        QVERIFY(opensWith("after Recovery-Marble-77"));
    }

    void theWelcomeLeavesTheVaultStandardUnlessAsked()
    {
        Kist engine(true);
        CKDefaultsOffPwd dialog(nullptr, &engine);
        dialog.setMode(CKDefaultsOffPwd::Welcome);
        fill(&dialog, "vault Harbour-Lantern-81", "vault Harbour-Lantern-81", "ann@example.org");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Accepted));
        QCOMPARE(QString::fromStdString(engine.vaultInfo().format), QStringLiteral("standard"));
    }

    void extractToVaultCopiesThePackageUnderTheVaultPassword()
    {
        desktoptest::openVault("secret").reset();
        const QString package = writePackage("shared.kzip", "pkg pw", {"a.txt", "b.txt"});
        Kist reader(package.toStdString());
        CKDefaultsOffPwd dialog(nullptr, &reader);
        dialog.setMode(3);

        fill(&dialog, "pkg pw", "");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Enter all Information, please.", "You must provide both the passwords."}));
        fill(&dialog, "wrong", "secret");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Wrong Password", "Looks like You have not entered the correct password for "
                                                           "this KORVELIN file. Please Try again."}));
        fill(&dialog, "pkg pw", "wrong");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Wrong Password",
                                         "looks like You have not entered the correct Vault password. Try again, please."}));
        QCOMPARE(rows(&dialog).mid(0, 2), (QStringList{"pkg pw", "wrong"}));

        fill(&dialog, "pkg pw", "secret");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Accepted));
        auto vault = desktoptest::openVault("secret");
        QStringList names = desktoptest::listedNames(*vault);
        names.sort();
        QCOMPARE(names, (QStringList{"a.txt", "b.txt"}));
        // The copies open with the Vault password.
        const QString out = makeFolder("out");
        vault->removeFile("b.txt", out.toStdString());
        QCOMPARE(readFile(out + "/b.txt"), QByteArray("b.txt"));
    }

    void changingTheVaultPasswordNeedsTheCurrentOne()
    {
        auto engine = desktoptest::openVault("secret");
        storeFile(*engine, "photo.jpg", "photo bytes");
        FakeSendWindow window(engine.get());
        window.keepVaultPassword("secret");
        CKDefaultsOffPwd* dialog = window.pwdDialog;
        dialog->setMode(4);

        fill(dialog, "secret", "fresh-Quarry-Violin-64", "");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox().first(), QStringLiteral("Enter all Information, please."));
        fill(dialog, "secret", "fresh-Quarry-Violin-64", "Fresh");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox().first(), QStringLiteral("Invalid Password!"));

        fill(dialog, "not it", "fresh-Quarry-Violin-64", "fresh-Quarry-Violin-64");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Wrong Password",
                                         "Looks like You have not entered the correct Vault password. Try again."}));
        QCOMPARE(rows(dialog), (QStringList{"not it", "fresh-Quarry-Violin-64", "fresh-Quarry-Violin-64"}));
        QCOMPARE(window.vaultPassword(), QStringLiteral("secret"));
        QVERIFY(opensWith("secret"));
        // The window behind the dialog still works on its vault.
        QCOMPARE(desktoptest::listedNames(*engine), QStringList{"photo.jpg"});

        fill(dialog, "secret", "fresh-Quarry-Violin-64", "fresh-Quarry-Violin-64");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Accepted));
        QCOMPARE(window.status->text(), QStringLiteral("Password changed."));
        QCOMPARE(window.vaultPassword(), QStringLiteral("fresh-Quarry-Violin-64"));
        QCOMPARE(rows(dialog), (QStringList{"", "", ""}));
        QVERIFY(!opensWith("secret"));
        QVERIFY(opensWith("fresh-Quarry-Violin-64"));
        const QString out = makeFolder("out");
        engine->removeFile("photo.jpg", out.toStdString());
        QCOMPARE(readFile(out + "/photo.jpg"), QByteArray("photo bytes"));
    }

    void aWeakNewPasswordIsTakenOnlyAfterAYes()
    {
        auto engine = desktoptest::openVault();
        FakeSendWindow window(engine.get());
        window.keepVaultPassword("secret");
        CKDefaultsOffPwd* dialog = window.pwdDialog;
        dialog->setMode(CKDefaultsOffPwd::ChangeVaultPassword);
        auto* meter = dialog->findChild<StrengthMeter*>("strengthMeter");
        // The meter lies under the new password and follows the typing.
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QVERIFY(meter->isVisibleTo(dialog));
        QVERIFY(meter->y() > edit(dialog, "enterPwd")->y() && meter->y() < edit(dialog, "reEnterPwd")->y());
        QTest::keyClicks(edit(dialog, "enterPwd"), "abc");
        QCOMPARE(meter->shownWord(), QStringLiteral("weak"));
        edit(dialog, "enterPwd")->setText("fresh-Quarry-Violin-64");
        QCOMPARE(meter->shownWord(), QStringLiteral("good"));

        fill(dialog, "secret", "abc123", "abc123");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Rejected)); // the question's default is No
        QCOMPARE(lastBox(), (QStringList{"Weak Password", "Use this weak password anyway?"}));
        QCOMPARE(rows(dialog), (QStringList{"secret", "abc123", "abc123"}));
        QVERIFY(opensWith("secret"));
        MessageBox::setNextAnswer(QMessageBox::Yes);
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Accepted));
        QVERIFY(opensWith("abc123"));

        // A strong one is taken without a question.
        MessageBox::clearAsked();
        dialog->setMode(CKDefaultsOffPwd::ChangeVaultPassword);
        fill(dialog, "abc123", "fresh-Quarry-Violin-64", "fresh-Quarry-Violin-64");
        QCOMPARE(dialog->OkButtonPressed(), int(QDialog::Accepted));
        QVERIFY(MessageBox::asked().isEmpty());

        // The welcome measures its first row; checking a password shows no meter.
        dialog->setMode(CKDefaultsOffPwd::Welcome);
        dialog->show();
        QVERIFY(meter->isVisibleTo(dialog));
        QTRY_VERIFY(meter->y() > edit(dialog, "zipFileName")->y() && meter->y() < edit(dialog, "enterPwd")->y());
        dialog->setMode(CKDefaultsOffPwd::ExtractToVault);
        QVERIFY(!meter->isVisibleTo(dialog));
    }

    void theEmailWelcomeNeedsTheVaultPassword()
    {
        desktoptest::openVault("secret").reset();
        Kist engine(true);
        CKDefaultsOffPwd dialog(nullptr, &engine);
        dialog.setMode(5);
        fill(&dialog, "ann@example.org", "");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox().first(), QStringLiteral("Enter all Information, please."));
        QVERIFY(lastBox().last().contains("Email address") && lastBox().last().contains("Vault password"));
        fill(&dialog, "ann", "secret");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox().first(), QStringLiteral("Invalid Email!"));
        fill(&dialog, "ann@example.org", "wrong");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Rejected));
        QCOMPARE(lastBox(), (QStringList{"Wrong Password",
                                         "Looks like You have not entered the correct Vault password. Try again."}));
        QVERIFY(engine.isEmptyEmail());

        fill(&dialog, "ann@example.org", "secret");
        QCOMPARE(dialog.OkButtonPressed(), int(QDialog::Accepted));
        QCOMPARE(engine.retrieveConfig("EmailD"), std::string("ann@example.org"));
        bool loggedOff = false;
        try {
            desktoptest::listedNames(engine);
        } catch (const ExceptionModule&) {
            loggedOff = true;
        }
        QVERIFY(loggedOff);
    }

    void saveDialogChecksTheRowsAndSettlesFolderAndName()
    {
        auto engine = desktoptest::openVault();
        FakeSendWindow window(engine.get());
        window.carryOut = false;
        CKDefaultOffPwdSystem* dialog = window.systemDialog;
        const QString folder = makeFolder("packages");
        const QString desktop = QString::fromStdString(Kist::getFolder(DesktopDir));

        fill(dialog, folder + "/report", "Harbour-Lantern-81", "");
        dialog->okButtonclicked();
        QCOMPARE(lastBox(), (QStringList{"Enter all Information, please.", "You must enter all the three values."}));
        fill(dialog, folder + "/report", "Harbour-Lantern-81", "Pw");
        dialog->okButtonclicked();
        QCOMPARE(lastBox(), (QStringList{"Invalid Password!", "Password and re-entered password do not match. Try again."}));
        QVERIFY(window.handOvers.isEmpty());

        fill(dialog, folder + "/report", "Harbour-Lantern-81", "Harbour-Lantern-81");
        dialog->okButtonclicked();
        QCOMPARE(window.handOvers.size(), 1);
        QCOMPARE(window.handOvers.last().folder, folder);
        QCOMPARE(window.handOvers.last().packageName, QStringLiteral("report.kzip"));
        QCOMPARE(window.handOvers.last().password, QStringLiteral("Harbour-Lantern-81"));
        QCOMPARE(rows(dialog), (QStringList{folder + "/report", "", ""}));
        QVERIFY(dialog->hideTimer()->isActive());
        // Opened again within that second, it stays open.
        dialog->show();
        QVERIFY(!dialog->hideTimer()->isActive());
        dialog->hide();
        QVERIFY(FileDialog::asked().isEmpty());

        // A missing folder is asked for; a cancelled chooser saves to the desktop.
        fill(dialog, folder + "/missing/report.kzip", "Harbour-Lantern-81", "Harbour-Lantern-81");
        FileDialog::setNextDirName(folder);
        dialog->okButtonclicked();
        QCOMPARE(FileDialog::lastAsked().caption, QStringLiteral("Save my KORVELIN File in..."));
        QCOMPARE(FileDialog::lastAsked().startAt, desktop);
        QCOMPARE(window.handOvers.last().folder, folder);
        QCOMPARE(window.handOvers.last().packageName, QStringLiteral("report.kzip"));

        fill(dialog, "report", "Harbour-Lantern-81", "Harbour-Lantern-81");
        dialog->okButtonclicked();
        QCOMPARE(lastBox(), (QStringList{"Invalid Location", "Location provided to save KORVELIN file is invalid. "
                                                             "Saving file to your Desktop"}));
        QCOMPARE(window.handOvers.last().folder, desktop);
        QCOMPARE(window.handOvers.size(), 3);

        // Cancel closes without saving and keeps what was typed.
        fill(dialog, folder + "/other", "Harbour-Lantern-81", "Harbour-Lantern-81");
        dialog->show();
        dialog->findChild<QPushButton*>("cancelButton")->click();
        QVERIFY(dialog->isHidden());
        QCOMPARE(rows(dialog), (QStringList{folder + "/other", "Harbour-Lantern-81", "Harbour-Lantern-81"}));
        QCOMPARE(window.handOvers.size(), 3);
    }

    void saveDialogAsksBeforeReplacingATypedName()
    {
        auto engine = desktoptest::openVault();
        FakeSendWindow window(engine.get());
        window.carryOut = false;
        CKDefaultOffPwdSystem* dialog = window.systemDialog;
        const QString folder = makeFolder("packages");
        desktoptest::writeFile(folder + "/report.kzip", "old");

        fill(dialog, folder + "/report.kzip", "Harbour-Lantern-81", "Harbour-Lantern-81");
        MessageBox::setNextAnswer(QMessageBox::No);
        dialog->okButtonclicked();
        QCOMPARE(MessageBox::lastAsked().kind, MessageBox::Kind::Question);
        QVERIFY(window.handOvers.isEmpty());
        QCOMPARE(rows(dialog), (QStringList{folder + "/report.kzip", "Harbour-Lantern-81", "Harbour-Lantern-81"}));

        // The save chooser has asked already: no second question.
        const QString desktop = QString::fromStdString(Kist::getFolder(DesktopDir));
        FileDialog::setNextFileName(folder + "/report.kzip");
        dialog->findChild<QAbstractButton*>("selectExtractionFolder")->click();
        QCOMPARE(FileDialog::lastAsked().caption, QStringLiteral("Select the name and location of KORVELIN file"));
        QCOMPARE(FileDialog::lastAsked().startAt, desktop + "/MyFiles.kzip");
        QCOMPARE(FileDialog::lastAsked().filter, QStringLiteral("KORVELIN Files (*.kzip)"));
        MessageBox::clearAsked();
        dialog->okButtonclicked();
        QVERIFY(MessageBox::asked().isEmpty());
        QCOMPARE(window.handOvers.size(), 1);
        QCOMPARE(window.handOvers.last().packageName, QStringLiteral("report.kzip"));
    }

    void returnPressesOkEscapeCancelsTabWalksDown()
    {
        auto engine = desktoptest::openVault();
        FakeSendWindow window(engine.get());
        window.carryOut = false;
        CKEnterEmail prompt(nullptr, engine.get());
        prompt.setMode(2);
        QList<QDialog*> dialogs{window.pwdDialog, window.systemDialog, &prompt};
        window.pwdDialog->setMode(4);
        const QList<QStringList> walks{{"zipFileName", "enterPwd", "reEnterPwd", "okButton", "cancelButton"},
                                       {"zipFileName", "selectExtractionFolder", "enterPwd", "reEnterPwd",
                                        "hardenedPackage", "okButton", "cancelButton"},
                                       {"email", "okButton", "cancelButton"}};
        for (int i = 0; i < dialogs.size(); ++i) {
            QDialog* dialog = dialogs[i];
            QLineEdit* first = dialog->findChild<QLineEdit*>(i == 2 ? "email" : "zipFileName");
            QCOMPARE(tabWalk(first), walks[i]);
            QVERIFY(dialog->findChild<QPushButton*>("okButton")->isDefault());
            QVERIFY(!dialog->findChild<QPushButton*>("cancelButton")->autoDefault());
            dialog->show();
            QVERIFY(QTest::qWaitForWindowExposed(dialog));
            // Nothing (the group box's frame) lies over a field or button the mouse must reach.
            for (const QString& name : walks[i]) {
                QWidget* widget = dialog->findChild<QWidget*>(name);
                QCOMPARE(dialog->childAt(widget->mapTo(dialog, widget->rect().center())), widget);
            }

            MessageBox::clearAsked();
            first->setText(QStringLiteral("typed"));
            QTest::keyClick(first, Qt::Key_Return);
            // Ok ran: it judged the rows (or the password) and kept the dialog open.
            QCOMPARE(MessageBox::asked().size(), 1);
            QVERIFY(dialog->isVisible());
            // The prompt clears a wrong password; the dialogs keep what was typed.
            QCOMPARE(first->text(), i == 2 ? QString() : QStringLiteral("typed"));
            QTest::keyClick(first, Qt::Key_Escape);
            QTRY_VERIFY(dialog->isHidden());
        }
        QCOMPARE(rows(window.pwdDialog), (QStringList{"", "", ""}));
    }

    void promptModesSetTheirTexts_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("info");
        QTest::newRow("1") << 1 << "Open KORVELIN File"
                           << "To view the contents of this KORVELIN file, please enter the password.";
        QTest::newRow("2") << 2 << "Add to Vault" << "To add this file to Vault, enter the Vault password.";
        QTest::newRow("3") << 3 << "KORVELIN Vault Restore"
                           << "Please provide the Vault password that was used to create this backup.";
    }
    void promptModesSetTheirTexts()
    {
        QFETCH(int, mode);
        QFETCH(QString, title);
        QFETCH(QString, info);
        auto engine = desktoptest::openVault();
        CKEnterEmail prompt(nullptr, engine.get());
        QCOMPARE(labelText(&prompt, "emailLabel"), QStringLiteral("Enter  e-mail :"));
        QCOMPARE(edit(&prompt, "email")->echoMode(), QLineEdit::Normal);
        prompt.setMode(mode);
        QCOMPARE(prompt.windowTitle(), title);
        QCOMPARE(labelText(&prompt, "info"), info);
        QCOMPARE(labelText(&prompt, "emailLabel"), QStringLiteral("Enter password:"));
        QCOMPARE(edit(&prompt, "email")->echoMode(), QLineEdit::Password);
        prompt.setMode(0);
        QCOMPARE(prompt.windowTitle(), title);
    }

    void theRestorePromptAddsTheSuffixAndNeverTriesTheBarePassword()
    {
        const QString backup = writePackage("korvelin.TEST.kzipbkp", "secret471502836", {"kept.txt"});
        const QString bare = writePackage("bare.kzipbkp", "secret", {"kept.txt"});
        {
            Kist reader(bare.toStdString());
            CKEnterEmail::setNextAnswers({"secret"});
            QVERIFY(!CKEnterEmail::ask(nullptr, &reader, CKEnterEmail::VaultRestore));
            QCOMPARE(lastBox(), (QStringList{"Wrong Password", "looks like You have not entered the correct Vault "
                                                               "password. Try again, please."}));
        }
        Kist reader(backup.toStdString());
        CKEnterEmail::setNextAnswers({"secret471502836", "secret"});
        QVERIFY(CKEnterEmail::ask(nullptr, &reader, CKEnterEmail::VaultRestore));
        QCOMPARE(MessageBox::asked().size(), 2); // one for the bare package, one for the first answer here
        QCOMPARE(desktoptest::listedNames(reader), QStringList{"kept.txt"});

        // A wrong password keeps the prompt open with the field cleared.
        Kist again(backup.toStdString());
        CKEnterEmail prompt(nullptr, &again);
        prompt.setMode(3);
        edit(&prompt, "email")->setText("nope");
        prompt.okButtonClicked();
        QCOMPARE(prompt.result(), int(QDialog::Rejected));
        QCOMPARE(edit(&prompt, "email")->text(), QString());
    }

    void thePackagePromptSaysWhichPasswordWasWrong()
    {
        const QString package = writePackage("shared.kzip", "pkg pw", {"a.txt"});
        Kist reader(package.toStdString());
        CKEnterEmail::setNextAnswers({"wrong", "pkg pw"});
        QVERIFY(CKEnterEmail::ask(nullptr, &reader, CKEnterEmail::OpenPackage));
        QCOMPARE(MessageBox::asked().size(), 1);
        QCOMPARE(lastBox(), (QStringList{"Wrong Password", "Looks like You have not entered the correct password for "
                                                           "this KORVELIN file. Please Try again."}));
        // Answers that run out are a cancelled prompt.
        Kist other(package.toStdString());
        CKEnterEmail::setNextAnswers({"wrong"});
        QVERIFY(!CKEnterEmail::ask(nullptr, &other, CKEnterEmail::OpenPackage));
        QVERIFY(!CKEnterEmail::ask(nullptr, &other, CKEnterEmail::OpenPackage));

        // The prompt of "/sv" and of an opened package clears a wrong password.
        auto vault = desktoptest::openVault("vault pw");
        for (const auto& [engine, mode] : {std::pair<Kist*, int>{&other, CKEnterEmail::OpenPackage},
                                           std::pair<Kist*, int>{vault.get(), CKEnterEmail::AddToVault}}) {
            CKEnterEmail prompt(nullptr, engine);
            prompt.setMode(mode);
            auto* field = prompt.findChild<QLineEdit*>(QStringLiteral("email"));
            QVERIFY(field);
            field->setText(QStringLiteral("wrong"));
            prompt.okButtonClicked();
            QCOMPARE(prompt.result(), int(QDialog::Rejected));
            QCOMPARE(field->text(), QString());
        }
    }

private:
    QString dropbox;
};

VAULTDESK_TEST_MAIN(PasswordDialogsTest)
#include "PasswordDialogsTest.moc"
