#include "desktop/dialogs/CKBackupRestore.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <vector>

#include "desktop/CKDropBox.h"
#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/FileDialog.h"
#include "desktop/MessageBox.h"
#include "desktop/ScreenFit.h"
#include "desktop/SendHost.h"
#include "desktop/VaultSender.h"
#include "desktop/VaultViewHost.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "engine/Kist.h"
#include "ui_CKBackupRestore.h"

namespace {

const QString kDropbox = QStringLiteral("Dropbox");
const QString kLocalDevice = QStringLiteral("Local Device");
const QString kBackupFilter = QStringLiteral("*.kzipbkp");
const QString kChooserTitle = QStringLiteral("Select a directory");

QString desktopFolder()
{
    try {
        return QString::fromStdString(Kist::getFolder(DesktopDir));
    } catch (const ExceptionModule&) {
        return QDir::homePath();
    }
}

// Holds the wait cursor for one step.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace

CKBackupRestore::CKBackupRestore(QWidget* parent, Kist& kist, CKDropBox& vaultView, SendHost& sendHost,
                                 VaultViewHost& windowHost)
    : QDialog(parent)
    , ui(std::make_unique<Ui::CKBackupRestore>())
    , engine(kist)
    , view(vaultView)
    , host(sendHost)
    , viewHost(windowHost)
{
    ui->setupUi(this);
    ScreenFit::install();
    ui->optionsComboBox->addItem(kDropbox);
    ui->optionsComboBox->addItem(kLocalDevice);
    connect(ui->okButton, &QPushButton::clicked, this, &CKBackupRestore::okButtonClicked);
    connect(ui->cancelButton, &QPushButton::clicked, this, &CKBackupRestore::cancelButtonClicked);
}

CKBackupRestore::~CKBackupRestore() = default;

void CKBackupRestore::setMode(int mode)
{
    if (mode == Backup) {
        setWindowTitle(QStringLiteral("Backup Vault"));
        ui->info->setText(QStringLiteral("Please select a backup option to backup your vault as KORVELIN file.\n"
                                         "Your current Vault password will be required to be able to restore from "
                                         "this backup."));
        ui->backupLabel->setText(QStringLiteral("Backup my Vault to:"));
    } else if (mode == Restore) {
        setWindowTitle(QStringLiteral("Restore Vault"));
        ui->info->setText(QStringLiteral("Please select a backup from which the backup files are to be restored."));
        ui->backupLabel->setText(QStringLiteral("Restore backup files from:"));
    } else {
        return;
    }
    currentMode = mode;
}

QString CKBackupRestore::backupFileName()
{
    return QStringLiteral("korvelin.%1.kzipbkp").arg(QString::fromStdString(Kist::getDeviceIdentity()));
}

void CKBackupRestore::tell(const QString& title, const QString& text)
{
    MessageBox::information(parentWidget(), title, text);
}

void CKBackupRestore::cancelButtonClicked()
{
    view.setStatus(currentMode == Backup ? QStringLiteral("Backup Cancelled") : QStringLiteral("Restore Cancelled"));
    reject();
}

void CKBackupRestore::okButtonClicked()
{
    const QString location = ui->optionsComboBox->currentText();
    const bool dropbox = location == kDropbox;
    // Out of the way while the work runs, so the window's Cancel can be pressed.
    hide();
    bool done = false;
    Restored restored;
    if (dropbox || location == kLocalDevice) {
        if (currentMode == Backup) {
            done = backup(dropbox);
        } else {
            restored = restore(dropbox);
            // A restore that brought nothing, or not all, does not say it succeeded.
            done = restored.done && restored.received == restored.inBackup && restored.received > 0;
        }
    }
    const QString verdict = currentMode == Backup ? QStringLiteral("Backup to %1 %2") : QStringLiteral("Restore from %1 %2");
    if (restored.cancelled)
        view.setStatus(QStringLiteral("Restore Cancelled"));
    else if (restored.done && !done)
        view.setStatus(QStringLiteral("Restore from %1: %2 of %3 entries restored")
                           .arg(location)
                           .arg(restored.received)
                           .arg(restored.inBackup));
    else
        view.setStatus(verdict.arg(location, done ? QStringLiteral("Successful!") : QStringLiteral("Failed!")));
    accept();
}

QString CKBackupRestore::dropboxFolder()
{
    try {
        return QString::fromStdString(Kist::getFolder(DropboxDir));
    } catch (const ExceptionModule&) {
        tell(QStringLiteral("No Dropbox"), VaultSender::noDropboxMessage());
        return {};
    }
}

bool CKBackupRestore::backup(bool toDropbox)
{
    QString name;
    try {
        name = backupFileName();
    } catch (const ExceptionModule& error) {
        tell(QStringLiteral("ERROR!"), EngineText::failureText(error));
        return false;
    }
    QString folder;
    if (toDropbox) {
        const QString dropbox = dropboxFolder();
        if (dropbox.isEmpty())
            return false;
        folder = QDir(dropbox).filePath(QLatin1String(dropboxBackupFolder));
        if (!QDir().mkpath(folder)) {
            tell(QStringLiteral("File export error!"), QStringLiteral("Cannot create the folder: %1").arg(folder));
            return false;
        }
    } else {
        folder = FileDialog::getExistingDirectory(parentWidget(), kChooserTitle, desktopFolder(),
                                                  QFileDialog::ShowDirsOnly);
        if (folder.isEmpty())
            return false;
    }
    if (QFileInfo::exists(QDir(folder).filePath(name))) {
        const auto answer = MessageBox::question(
            parentWidget(), QStringLiteral("KORVELIN Backup Exists!"),
            QStringLiteral("A KORVELIN backup already exists. Do you wish to overwrite?"),
            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
        if (answer != QMessageBox::Ok)
            return false;
    }
    VaultSender* operations = view.operations();
    if (!operations)
        return false;
    const QString password = host.vaultPassword() + QLatin1String(CKEnterEmail::backupPasswordSuffix);
    return !operations->exportAll(folder, name, password, toDropbox ? SendTarget::Dropbox : SendTarget::Folder).isEmpty();
}

CKBackupRestore::DropboxChoice CKBackupRestore::dropboxChoice(const QString& folder, const QString& thisDeviceName)
{
    const QFileInfoList backups = QDir(folder).entryInfoList({kBackupFilter}, QDir::Files, QDir::Time);
    if (backups.isEmpty())
        return {};
    const QString own = QDir(folder).filePath(thisDeviceName);
    const bool hasOwn = QFileInfo(own).isFile();
    if (hasOwn && backups.size() == 1)
        return {own, false};
    // Sorted newest first.
    return {hasOwn ? own : backups.first().absoluteFilePath(), true};
}

QString CKBackupRestore::chooseBackup(bool fromDropbox)
{
    QString ownName;
    try {
        ownName = backupFileName();
    } catch (const ExceptionModule& error) {
        tell(QStringLiteral("ERROR!"), EngineText::failureText(error));
        return {};
    }
    if (!fromDropbox)
        return FileDialog::getOpenFileName(parentWidget(), kChooserTitle, QDir(desktopFolder()).filePath(ownName),
                                           kBackupFilter);
    const QString dropbox = dropboxFolder();
    if (dropbox.isEmpty())
        return {};
    const DropboxChoice choice = dropboxChoice(QDir(dropbox).filePath(QLatin1String(dropboxBackupFolder)), ownName);
    if (choice.path.isEmpty()) {
        tell(QStringLiteral("No KORVELIN Backup!"), QStringLiteral("No KORVELIN backup was found in Dropbox!"));
        return {};
    }
    if (!choice.ask)
        return choice.path;
    return FileDialog::getOpenFileName(parentWidget(), kChooserTitle, choice.path, kBackupFilter);
}

CKBackupRestore::Restored CKBackupRestore::restore(bool fromDropbox)
{
    Restored restored;
    const QString path = chooseBackup(fromDropbox);
    if (path.isEmpty())
        return restored;
    std::unique_ptr<Kist> backupEngine;
    // Opening and closing a backup unpack and delete its private folder: off the GUI thread.
    const auto closeBackup = [&] {
        try {
            EngineCall(engine, nullptr).run([&] { backupEngine.reset(); });
        } catch (const ExceptionModule&) {
            backupEngine.reset();
        }
    };
    try {
        {
            EngineCall opening(engine, nullptr);
            const std::string narrowPath = EngineText::toEngine(path);
            backupEngine = opening.run([&] { return std::make_unique<Kist>(narrowPath); });
        }
        if (!CKEnterEmail::ask(parentWidget(), backupEngine.get(), CKEnterEmail::VaultRestore)) {
            closeBackup();
            return restored;
        }
        const std::string vaultPassword = host.vaultPassword().toStdString();
        {
            WaitCursor waiting;
            EngineCall call(*backupEngine, viewHost.progressDisplay());
            const auto entriesOf = [](Kist& kist) {
                std::vector<KistFile*> files;
                kist.listFiles(files);
                const std::vector<std::unique_ptr<KistFile>> owned(files.begin(), files.end());
                std::vector<std::string> names;
                for (const auto& file : owned)
                    names.push_back(file->name);
                return names;
            };
            try {
                call.run([&] {
                    const std::vector<std::string> names = entriesOf(*backupEngine);
                    restored.inBackup = static_cast<int>(names.size());
                    const std::size_t before = entriesOf(engine).size();
                    backupEngine->copyFilesToVault(names, vaultPassword);
                    const std::size_t after = entriesOf(engine).size();
                    restored.received = after > before ? static_cast<int>(after - before) : 0;
                });
            } catch (const ExceptionModule&) {
                if (!call.cancelled())
                    throw;
                // The entry under way stays out of the vault; those before it are in.
                restored.cancelled = true;
            }
        }
        closeBackup();
    } catch (const ExceptionModule& error) {
        closeBackup();
        tell(QStringLiteral("File restore error!"), EngineText::failureText(error));
        view.refresh();
        viewHost.updateSelectionState();
        return restored;
    }
    view.refresh();
    viewHost.updateSelectionState();
    restored.done = true;
    return restored;
}
