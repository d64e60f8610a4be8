#include "desktop/dialogs/CKDefaultSettings.h"

#include "desktop/AutoLock.h"
#include "desktop/UpdateCheckPolicy.h"
#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/FileDialog.h"
#include "desktop/MessageBox.h"
#include "desktop/PathFieldTip.h"
#include "desktop/ScreenFit.h"
#include "desktop/SendHost.h"
#include "desktop/VaultViewHost.h"
#include "desktop/StrengthMeter.h"
#include "desktop/dialogs/DialogSkin.h"
#include "engine/Kist.h"
#include "ui_CKDefaultSettings.h"

namespace {

const QString kAllInformation = QStringLiteral("Enter all Information, please.");

} // namespace

CKDefaultSettings::CKDefaultSettings(QWidget* parent, Kist* kist, SendHost* sendHost)
    : QDialog(parent)
    , ui(std::make_unique<Ui::CKDefaultSettings>())
    , engine(kist)
    , host(sendHost)
{
    ui->setupUi(this);
    ScreenFit::install();
    keepRoomForTitle(*ui->groupBox);
    connect(ui->okButton, &QPushButton::clicked, this, &CKDefaultSettings::okButtonClicked);
    connect(ui->cancelButton, &QPushButton::clicked, this, &CKDefaultSettings::CancelButtonPressed);
    connect(ui->selectExtractionFolder, &QPushButton::clicked, this, &CKDefaultSettings::selectExtractionFolderClicked);
    connect(ui->selectDBFolder, &QPushButton::clicked, this, &CKDefaultSettings::selectDBFolderClicked);
    connect(ui->hardenButton, &QPushButton::clicked, this, &CKDefaultSettings::hardenButtonClicked);
    ui->strengthMeter->watch(ui->newPwd);
    PathFieldTip::attach(ui->extractionFolder);
    PathFieldTip::attach(ui->dropBoxFolder);
}

CKDefaultSettings::~CKDefaultSettings() = default;

void CKDefaultSettings::setFolders(bool showDropbox, const QString& dropboxFolder, const QString& restoreFolder)
{
    ui->dropBoxLabel->setVisible(showDropbox);
    ui->dropBoxFolder->setVisible(showDropbox);
    ui->selectDBFolder->setVisible(showDropbox);
    ui->dropBoxFolder->setText(dropboxFolder);
    ui->extractionFolder->setText(restoreFolder);
}

void CKDefaultSettings::showCurrentPassword(bool show)
{
    ui->currPwdLabel->setVisible(show);
    ui->currentPwd->setVisible(show);
    (show ? ui->currentPwd : ui->newPwd)->setFocus();
}

void CKDefaultSettings::loadStartSettings()
{
    const auto stored = [this](const char* name) { return QString::fromStdString(engine->retrieveConfig(name)); };
    ui->autoLockMinutes->setValue(AutoLock::minutesFromSetting(stored(AutoLock::settingName)));
    ui->checkForUpdates->setChecked(UpdateCheckPolicy::userAllows(stored(UpdateCheckPolicy::settingName)));
}

void CKDefaultSettings::selectExtractionFolderClicked()
{
    const QString chosen =
        FileDialog::getExistingDirectory(this, QStringLiteral("Select a directory"), ui->extractionFolder->text(),
                                         QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!chosen.isEmpty())
        ui->extractionFolder->setText(chosen);
}

void CKDefaultSettings::selectDBFolderClicked()
{
    const QString chosen =
        FileDialog::getExistingDirectory(this, QStringLiteral("Select Dropbox Directory"), ui->dropBoxFolder->text(),
                                         QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!chosen.isEmpty())
        ui->dropBoxFolder->setText(chosen);
}

void CKDefaultSettings::clearPasswords()
{
    ui->currentPwd->clear();
    ui->newPwd->clear();
    ui->reEnterNewPwd->clear();
}

void CKDefaultSettings::CancelButtonPressed()
{
    clearPasswords();
    hide();
}

void CKDefaultSettings::showEvent(QShowEvent* event)
{
    // Offered for the user's own vault while it is in the standard format:
    // not for a package or the composer's temporary vault.
    bool offer = ui->currentPwd->isVisibleTo(this) && !checksWithUserVault;
    if (offer) {
        try {
            // Only the user's vault keeps a change count.
            offer = engine->vaultInfo().format == "standard" && !engine->changeCount().empty();
        } catch (const ExceptionModule&) {
            offer = false;
        }
    }
    ui->hardenButton->setVisible(offer);
    QDialog::showEvent(event);
}

void CKDefaultSettings::hardenButtonClicked()
{
    const std::string typed = ui->currentPwd->text().toStdString();
    if (typed.empty()) {
        MessageBox::information(this, QStringLiteral("Enter Password"),
                                QStringLiteral("Enter your current Vault password to harden the Vault."));
        return;
    }
    if (MessageBox::question(this, QStringLiteral("Harden the Vault?"),
                             QStringLiteral("Every file in the Vault is encrypted again in the hardened format. "
                                            "Afterwards the Vault, and any copy of its folder, opens only with the "
                                            "Vault password or its recovery key, and older versions of the program "
                                            "cannot open it. There is no way back but taking everything out.\n\n"
                                            "Harden the Vault now?"))
        != QMessageBox::Yes)
        return;
    std::string recoveryKey;
    try {
        auto* viewHost = dynamic_cast<VaultViewHost*>(host);
        EngineCall call(*engine, viewHost ? viewHost->progressDisplay() : nullptr);
        recoveryKey = call.run([&] { return engine->harden(typed); });
    } catch (const ExceptionModule& error) {
        MessageBox::information(this, QStringLiteral("Cannot harden the Vault!"), EngineText::failureText(error));
        return;
    }
    ui->currentPwd->clear();
    ui->hardenButton->setVisible(false);
    if (host)
        host->setStatusLine(QStringLiteral("The Vault is hardened"));
    MessageBox::information(this, QStringLiteral("Recovery key"),
                            QStringLiteral("The Vault is hardened. This is its recovery key: write it down and keep "
                                           "it apart from this computer. It is shown only now, and it is the only "
                                           "way into the Vault if its password is forgotten (type it in place of "
                                           "the current password when you change the password).\n\n%1")
                                .arg(QString::fromStdString(recoveryKey)));
}

void CKDefaultSettings::reject()
{
    clearPasswords();
    QDialog::reject();
}

bool CKDefaultSettings::vaultPasswordIsRight(const std::string& typed)
{
    if (checksWithUserVault) {
        // Opening the vault reads its whole listing: off the GUI thread.
        return EngineCall(*engine, nullptr).run([&typed] {
            Kist userVault(true);
            return userVault.login(typed);
        });
    }
    EngineCall call(*engine, nullptr);
    if (call.run([&] { return engine->login(typed); }))
        return true;
    // A wrong password logs the engine off; an unlocked window must keep working.
    const std::string kept = host ? host->vaultPassword().toStdString() : std::string();
    if (!kept.empty())
        (void)call.run([&] { return engine->login(kept); });
    return false;
}

void CKDefaultSettings::okButtonClicked()
{
    const bool askingCurrent = ui->currentPwd->isVisibleTo(this);
    const bool dropboxShown = ui->dropBoxFolder->isVisibleTo(this);
    if (askingCurrent && ui->currentPwd->text().isEmpty()) {
        MessageBox::information(this, QStringLiteral("Enter Password"),
                                QStringLiteral("You must enter your current Vault password to change any of these settings."));
        return;
    }
    if (ui->extractionFolder->text().isEmpty()) {
        MessageBox::information(this, kAllInformation, QStringLiteral("You must enter a default extraction folder."));
        return;
    }
    if (dropboxShown && ui->dropBoxFolder->text().isEmpty()) {
        MessageBox::information(this, kAllInformation, QStringLiteral("You must enter a default Dropbox folder."));
        return;
    }
    const QString newPassword = ui->newPwd->text();
    if (!newPassword.isEmpty() && newPassword != ui->reEnterNewPwd->text()) {
        MessageBox::information(this, QStringLiteral("Invalid Password!"),
                                QStringLiteral("New and re-entered passwords do not match."));
        return;
    }
    if (!newPassword.isEmpty() && !StrengthMeter::confirmUse(this, newPassword))
        return;
    try {
        if (!vaultPasswordIsRight(ui->currentPwd->text().toStdString())) {
            MessageBox::information(this, QStringLiteral("Wrong Password"),
                                    QStringLiteral("You must enter the correct Vault password to change any of these settings."));
            return;
        }
        if (!newPassword.isEmpty())
            engine->persistConfig("DefaultPassword", newPassword.toStdString());
        engine->persistConfig("RestoreFolder", ui->extractionFolder->text().toStdString());
        if (dropboxShown)
            engine->persistConfig("DropboxFolder", ui->dropBoxFolder->text().toStdString());
        engine->persistConfig(AutoLock::settingName,
                              AutoLock::settingFromMinutes(ui->autoLockMinutes->value()).toStdString());
        engine->persistConfig(UpdateCheckPolicy::settingName, ui->checkForUpdates->isChecked() ? "true" : "false");
    } catch (const ExceptionModule& error) {
        MessageBox::information(this, QStringLiteral("ERROR!"), EngineText::failureText(error));
        return;
    }
    clearPasswords();
    if (host)
        host->setStatusLine(QStringLiteral("Default settings updated"));
    accept();
}
