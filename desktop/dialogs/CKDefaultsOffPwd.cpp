#include "desktop/dialogs/CKDefaultsOffPwd.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QTimer>

#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/InputRules.h"
#include "desktop/MessageBox.h"
#include "desktop/ScreenFit.h"
#include "desktop/SendHost.h"
#include "desktop/StatusProgress.h"
#include "desktop/StrengthMeter.h"
#include "desktop/VaultSender.h"
#include "desktop/dialogs/DialogSkin.h"
#include "engine/Kist.h"
#include "ui_CKDefaultsOffPwd.h"

namespace {

constexpr int hideDelayMs = 1000;

const QString allInformation = QStringLiteral("Enter all Information, please.");
const QString wrongPassword = QStringLiteral("Wrong Password");
const QString wrongVaultPassword =
    QStringLiteral("Looks like You have not entered the correct Vault password. Try again.");
const QString mismatchedNewPassword =
    QStringLiteral("New password and re-entered password do not match. Try again.");
const QString invalidEmail = QStringLiteral("Enter a correct email address. This is needed to reset your Vault password.");

void tell(QWidget* parent, const QString& title, const QString& text)
{
    MessageBox::information(parent, title, text);
}

} // namespace

CKDefaultsOffPwd::CKDefaultsOffPwd(QWidget* parent, Kist* engine, SendHost* host)
    : QDialog(parent), ui(std::make_unique<Ui::CKDefaultsOffPwd>()), engine(engine), host(host),
      hideLater(new QTimer(this))
{
    ui->setupUi(this);
    designedSize = size();
    ScreenFit::install();
    keepRoomForTitle(*ui->groupBox);
    hideLater->setSingleShot(true);
    hideLater->setInterval(hideDelayMs);
    connect(hideLater, &QTimer::timeout, this, &QWidget::hide);
    connect(ui->okButton, &QPushButton::clicked, this, &CKDefaultsOffPwd::OkButtonPressed);
    connect(ui->cancelButton, &QPushButton::clicked, this, &CKDefaultsOffPwd::CancelButtonPressed);

    // Copying a package into the vault shows its progress here.
    progress = new StatusProgress(this);
    ui->buttonRow->insertWidget(0, progress, 1);
    progress->hide();

    // The meter follows whichever row holds the new password in this mode.
    ui->strengthMeter->hide();
    // Offered only when a new vault gets its password (the welcome).
    ui->hardenVault->hide();
    ui->hardenVault->setChecked(false);
    // Offered only for a package for other people, off unless ticked.
    setHardenedPackageShown(false);
    for (QLineEdit* field : {ui->zipFileName, ui->enterPwd})
        connect(field, &QLineEdit::textChanged, this, [this, field](const QString& text) {
            if (field == newPasswordField)
                ui->strengthMeter->showStrength(text);
        });
}

CKDefaultsOffPwd::~CKDefaultsOffPwd() = default;

void CKDefaultsOffPwd::setRow(int row, const QString& label, bool password, bool shown)
{
    QLabel* labels[] = {ui->zipFileNameLabel, ui->enterPwdLabel, ui->reEnterPwdLabel};
    QLineEdit* edits[] = {ui->zipFileName, ui->enterPwd, ui->reEnterPwd};
    labels[row]->setText(label);
    edits[row]->setEchoMode(password ? QLineEdit::Password : QLineEdit::Normal);
    // Rows hidden by a mode stay hidden for the life of this instance.
    if (!shown) {
        labels[row]->hide();
        edits[row]->hide();
    }
}

void CKDefaultsOffPwd::clearRows()
{
    ui->zipFileName->clear();
    ui->enterPwd->clear();
    ui->reEnterPwd->clear();
}

void CKDefaultsOffPwd::setHardenedPackageShown(bool shown)
{
    ui->hardenedPackage->setChecked(false);
    ui->hardenedPackage->setVisible(shown);
    ui->hardenedPackageInfo->setVisible(shown);
}

void CKDefaultsOffPwd::setMode(int mode)
{
    if (mode < SendToDropbox || mode > WelcomeEmail)
        return;
    currentMode = mode;
    clearRows();
    const QString vaultPassword = QStringLiteral("Enter Vault password:");
    switch (mode) {
    case SendToDropbox:
    case SendByEmail:
        if (mode == SendToDropbox) {
            setWindowTitle(QStringLiteral("Encrypt and send to Dropbox"));
            ui->info->setText(QStringLiteral("The selected files will be encrypted and sent to Dropbox.\nThe password "
                                             "that you provide here must be used to open the KORVELIN file."));
        } else {
            setWindowTitle(QStringLiteral("Encrypt and Email"));
            ui->info->setText(QStringLiteral(
                "The selected files will be encrypted and attached to your email.\nThe password that you provide "
                "here must be used by the email recipient to open the KORVELIN file."));
        }
        setRow(0, QStringLiteral("Enter the name of KORVELIN file:"), false, true);
        ui->zipFileName->setText(QStringLiteral("MyFiles.kzip"));
        setRow(1, QStringLiteral("Password for KORVELIN file:"), true, true);
        setRow(2, QStringLiteral("Re-enter password:"), true, true);
        break;
    case Welcome:
        setWindowTitle(QStringLiteral("Welcome to KORVELIN Safehold"));
        ui->info->setText(QStringLiteral("Before using this application, you must set your Vault password and enter "
                                         "your email address.\nYour email address can be used to reset the Vault "
                                         "password.\n"));
        setRow(0, vaultPassword, true, true);
        setRow(1, QStringLiteral("Re-enter Vault password:"), true, true);
        setRow(2, QStringLiteral("Enter Email address:"), false, true);
        break;
    case ExtractToVault:
        setWindowTitle(QStringLiteral("Extract KORVELIN file to my KORVELIN Vault"));
        ui->info->setText(QStringLiteral("To send the contents of this KORVELIN file to KORVELIN Vault, please "
                                         "provide passwords for KORVELIN file and Vault."));
        setRow(0, QStringLiteral("Enter KORVELIN file password:"), true, true);
        setRow(1, vaultPassword, true, true);
        setRow(2, ui->reEnterPwdLabel->text(), true, false);
        break;
    case ChangeVaultPassword:
        setWindowTitle(QStringLiteral("Change Vault Password"));
        ui->info->setText(QStringLiteral(
            "To change your Vault password, enter your current Vault password and the new password."));
        setRow(0, engine && engine->vaultInfo().format == "hardened"
                      ? QStringLiteral("Current Vault password or recovery key:")
                      : QStringLiteral("Current Vault password:"),
               true, true);
        setRow(1, QStringLiteral("New Vault password:"), true, true);
        setRow(2, QStringLiteral("Re-enter Vault password:"), true, true);
        break;
    case WelcomeEmail:
        setWindowTitle(QStringLiteral("Welcome to KORVELIN Safehold"));
        ui->info->setText(QStringLiteral("Before using this application, you must set your email address.\nYour "
                                         "email address can be used to reset the Vault password.\n"));
        setRow(0, QStringLiteral("Enter Email address:"), false, true);
        setRow(1, vaultPassword, true, true);
        setRow(2, ui->reEnterPwdLabel->text(), true, false);
        break;
    default:
        break;
    }
    ui->hardenVault->setVisible(mode == Welcome);
    // Each package starts in the standard form, which every reader opens.
    setHardenedPackageShown(mode == SendToDropbox || mode == SendByEmail);
    // Only a password being set gets a meter, not one being checked.
    if (mode == Welcome)
        showStrengthUnder(ui->zipFileName);
    else if (mode == ExtractToVault || mode == WelcomeEmail)
        showStrengthUnder(nullptr);
    else
        showStrengthUnder(ui->enterPwd);
    // Rows come and go with the mode: the dialog takes its designed size
    // again, or what the rows of this mode need if that is more (a size
    // grown for the package box is not kept for the modes without it).
    ui->formLayout->invalidate();
    ui->groupBox->updateGeometry();
    layout()->invalidate();
    layout()->activate();
    resize(designedSize.expandedTo(minimumSize()));
    ui->zipFileName->setFocus();
}

void CKDefaultsOffPwd::showStrengthUnder(QLineEdit* field)
{
    newPasswordField = field;
    ui->strengthMeter->setVisible(field != nullptr);
    if (!field)
        return;
    // The meter's row lies just below the field's own row.
    int row = 0;
    int column = 0;
    int rowSpan = 0;
    int columnSpan = 0;
    ui->formLayout->getItemPosition(ui->formLayout->indexOf(field), &row, &column, &rowSpan, &columnSpan);
    ui->formLayout->removeWidget(ui->strengthMeter);
    ui->formLayout->addWidget(ui->strengthMeter, row + 1, column);
    ui->strengthMeter->showStrength(field->text());
}

void CKDefaultsOffPwd::applySkin()
{
    applyStoredSkin(*this, engine);
}

int CKDefaultsOffPwd::OkButtonPressed()
{
    switch (currentMode) {
    case SendToDropbox:
    case SendByEmail:
        return sendPackage();
    case Welcome:
        return welcome();
    case ExtractToVault:
        return extractToVault();
    case ChangeVaultPassword:
        return changeVaultPassword();
    case WelcomeEmail:
        return welcomeEmail();
    default:
        return QDialog::Rejected;
    }
}

void CKDefaultsOffPwd::CancelButtonPressed()
{
    clearRows();
    ui->hardenedPackage->setChecked(false);
    QDialog::reject();
}

void CKDefaultsOffPwd::reject()
{
    CancelButtonPressed();
}

void CKDefaultsOffPwd::finish()
{
    hideLater->start();
    accept();
}

int CKDefaultsOffPwd::sendPackage()
{
    const QString name = ui->zipFileName->text();
    const QString password = ui->enterPwd->text();
    if (name.isEmpty() || password.isEmpty() || ui->reEnterPwd->text().isEmpty()) {
        tell(this, allInformation, QStringLiteral("You must enter all the three values."));
        return QDialog::Rejected;
    }
    if (password != ui->reEnterPwd->text()) {
        tell(this, QStringLiteral("Invalid Password!"), mismatchedNewPassword);
        return QDialog::Rejected;
    }
    if (name.contains(QLatin1Char('/'))) {
        tell(this, QStringLiteral("Invalid Name!"),
             QStringLiteral("The name of the KORVELIN file cannot contain a slash (/)."));
        return QDialog::Rejected;
    }
    if (!StrengthMeter::confirmUse(this, password))
        return QDialog::Rejected;
    const QString packageName = InputRules::withPackageExtension(name);

    QString dropbox;
    if (currentMode == SendToDropbox) {
        try {
            dropbox = QString::fromStdString(Kist::getFolder(DropboxDir));
        } catch (const ExceptionModule&) {
            tell(this, QStringLiteral("No Dropbox"), VaultSender::noDropboxMessage());
            return QDialog::Rejected;
        }
        // A name the user typed replaces a package of that name only with a yes.
        const QString path = dropbox + QLatin1Char('/') + packageName;
        if (QFileInfo::exists(path) &&
            MessageBox::question(this, QStringLiteral("Replace KORVELIN file?"),
                                 QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(path),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
            return QDialog::Rejected;
    }

    const PackageForm form = ui->hardenedPackage->isChecked() ? PackageForm::Hardened : PackageForm::Standard;
    ui->enterPwd->clear();
    ui->reEnterPwd->clear();
    ui->hardenedPackage->setChecked(false);
    hideLater->start();
    if (host) {
        if (currentMode == SendToDropbox)
            host->sendToDropbox(dropbox, packageName, password, form);
        else
            host->sendByEmail(packageName, password, form);
    }
    accept();
    return QDialog::Accepted;
}

int CKDefaultsOffPwd::welcome()
{
    const QString password = ui->zipFileName->text();
    const QString email = ui->reEnterPwd->text();
    if (password.isEmpty() || ui->enterPwd->text().isEmpty() || email.isEmpty()) {
        tell(this, allInformation,
             QStringLiteral("You must enter all the three values - Vault password, re-entered Vault password, and "
                            "Email address."));
        return QDialog::Rejected;
    }
    if (password != ui->enterPwd->text()) {
        tell(this, QStringLiteral("Invalid Password!"),
             QStringLiteral("Password and re-entered password do not match. Try again."));
        return QDialog::Rejected;
    }
    if (!InputRules::looksLikeEmailAddress(email)) {
        tell(this, QStringLiteral("Invalid Email!"), invalidEmail);
        return QDialog::Rejected;
    }
    if (!StrengthMeter::confirmUse(this, password))
        return QDialog::Rejected;
    std::string recoveryKey;
    try {
        EngineCall call(*engine, nullptr);
        const std::string newPassword = password.toStdString();
        const std::string address = email.toStdString();
        const bool hardened = ui->hardenVault->isChecked();
        call.run([&] {
            engine->setPassword(newPassword, "");
            engine->setEmail(address);
            if (hardened)
                recoveryKey = engine->harden(newPassword);
        });
    } catch (const ExceptionModule& error) {
        tell(this, QStringLiteral("ERROR!"), EngineText::failureText(error));
        return QDialog::Rejected;
    }
    clearRows();
    if (!recoveryKey.empty())
        tell(this, QStringLiteral("Recovery key"),
             QStringLiteral("The Vault is hardened. This is its recovery key: write it down and keep it apart from "
                            "this computer. It is shown only now, and it is the only way into the Vault if its "
                            "password is forgotten (type it in place of the current password when you change the "
                            "password).\n\n%1")
                 .arg(QString::fromStdString(recoveryKey)));
    finish();
    return QDialog::Accepted;
}

int CKDefaultsOffPwd::extractToVault()
{
    const QString packagePassword = ui->zipFileName->text();
    const QString vaultPassword = ui->enterPwd->text();
    if (packagePassword.isEmpty() || vaultPassword.isEmpty()) {
        tell(this, allInformation, QStringLiteral("You must provide both the passwords."));
        return QDialog::Rejected;
    }
    const std::string narrowPackagePassword = packagePassword.toStdString();
    const std::string narrowVaultPassword = vaultPassword.toStdString();
    const QString restoreError = QStringLiteral("File restore error!");

    // Opening a locked package unpacks it, which may take a while.
    bool packageOpen = false;
    try {
        EngineCall call(*engine, progress);
        packageOpen = call.run([&] { return engine->login(narrowPackagePassword); });
    } catch (const ExceptionModule& error) {
        tell(this, restoreError, EngineText::failureText(error));
        return QDialog::Rejected;
    }
    if (!packageOpen) {
        tell(this, wrongPassword,
             QStringLiteral("Looks like You have not entered the correct password for this KORVELIN file. Please Try "
                            "again."));
        return QDialog::Rejected;
    }

    bool vaultOpen = false;
    try {
        EngineCall call(*engine, nullptr);
        vaultOpen = call.run([&] { return Kist(true).login(narrowVaultPassword); });
    } catch (const ExceptionModule& error) {
        tell(this, restoreError, EngineText::failureText(error));
        return QDialog::Rejected;
    }
    if (!vaultOpen) {
        tell(this, wrongPassword,
             QStringLiteral("looks like You have not entered the correct Vault password. Try again, please."));
        return QDialog::Rejected;
    }

    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        EngineCall call(*engine, progress);
        call.run([&] {
            std::vector<KistFile*> listed;
            engine->listFiles(listed);
            std::vector<std::string> names;
            for (KistFile* file : listed) {
                names.push_back(file->name);
                delete file;
            }
            engine->copyFilesToVault(names, narrowVaultPassword);
        });
    } catch (const ExceptionModule& error) {
        QApplication::restoreOverrideCursor();
        tell(this, restoreError, EngineText::failureText(error));
        return QDialog::Rejected;
    }
    QApplication::restoreOverrideCursor();
    clearRows();
    accept();
    return QDialog::Accepted;
}

int CKDefaultsOffPwd::changeVaultPassword()
{
    const QString current = ui->zipFileName->text();
    const QString newPassword = ui->enterPwd->text();
    if (current.isEmpty() || newPassword.isEmpty() || ui->reEnterPwd->text().isEmpty()) {
        tell(this, allInformation,
             QStringLiteral("You must enter all the three values - Current Vault password, New Vault password, and "
                            "re-entered new Vault password."));
        return QDialog::Rejected;
    }
    if (newPassword != ui->reEnterPwd->text()) {
        tell(this, QStringLiteral("Invalid Password!"), mismatchedNewPassword);
        return QDialog::Rejected;
    }
    if (!StrengthMeter::confirmUse(this, newPassword))
        return QDialog::Rejected;
    const std::string narrowCurrent = current.toStdString();
    const std::string narrowNew = newPassword.toStdString();
    try {
        if (!engine->login(narrowCurrent)) {
            // A hardened vault's recovery key stands in for a forgotten
            // password: the engine takes it in place of the current one.
            bool byRecoveryKey = false;
            if (engine->vaultInfo().format == "hardened") {
                try {
                    EngineCall call(*engine, progress);
                    call.run([&] { engine->setPassword(narrowNew, narrowCurrent); });
                    byRecoveryKey = true;
                } catch (const ExceptionModule&) {
                    byRecoveryKey = false;
                }
            }
            if (!byRecoveryKey) {
                // A wrong guess logs the engine off; the window behind this
                // dialog is still unlocked, so it is logged in again as it was.
                if (host && !host->vaultPassword().isEmpty())
                    (void)engine->login(host->vaultPassword().toStdString());
                tell(this, wrongPassword, wrongVaultPassword);
                return QDialog::Rejected;
            }
        } else {
            // Every file key is sealed again under the new password (a
            // hardened vault rewrites only its header).
            EngineCall call(*engine, progress);
            call.run([&] { engine->setPassword(narrowNew, narrowCurrent); });
        }
    } catch (const ExceptionModule& error) {
        tell(this, QStringLiteral("ERROR!"), EngineText::failureText(error));
        return QDialog::Rejected;
    }
    clearRows();
    if (host) {
        host->setStatusLine(QStringLiteral("Password changed."));
        host->keepVaultPassword(newPassword);
    }
    accept();
    return QDialog::Accepted;
}

int CKDefaultsOffPwd::welcomeEmail()
{
    const QString email = ui->zipFileName->text();
    const QString password = ui->enterPwd->text();
    if (email.isEmpty() || password.isEmpty()) {
        tell(this, allInformation,
             QStringLiteral("You must enter both values - Email address and Vault password."));
        return QDialog::Rejected;
    }
    if (!InputRules::looksLikeEmailAddress(email)) {
        tell(this, QStringLiteral("Invalid Email!"), invalidEmail);
        return QDialog::Rejected;
    }
    try {
        if (!engine->login(password.toStdString())) {
            tell(this, wrongPassword, wrongVaultPassword);
            return QDialog::Rejected;
        }
        engine->setEmail(email.toStdString());
        engine->logoff();
    } catch (const ExceptionModule& error) {
        tell(this, QStringLiteral("ERROR!"), EngineText::failureText(error));
        return QDialog::Rejected;
    }
    clearRows();
    finish();
    return QDialog::Accepted;
}

void CKDefaultsOffPwd::showEvent(QShowEvent* event)
{
    hideLater->stop();
    QDialog::showEvent(event);
}
