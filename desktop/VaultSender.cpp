#include "desktop/VaultSender.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <unistd.h>

#include "desktop/CKDropBox.h"
#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/FileDialog.h"
#include "desktop/InputRules.h"
#include "desktop/MailHandoff.h"
#include "desktop/MessageBox.h"
#include "desktop/SendHost.h"
#include "desktop/VaultViewHost.h"
#include "desktop/WebAddresses.h"
#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "desktop/dialogs/DialogSkin.h"
#include "engine/Kist.h"

Q_LOGGING_CATEGORY(senderLog, "korvelin.sender", QtWarningMsg)

namespace {

const QString defaultPackageFileName = QStringLiteral("MyFiles.kzip");

std::vector<std::string> narrowNames(const QStringList& names)
{
    std::vector<std::string> narrow;
    narrow.reserve(static_cast<std::size_t>(names.size()));
    for (const QString& name : names)
        narrow.push_back(EngineText::toEngine(name));
    return narrow;
}

QString joined(const QString& folder, const QString& name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

// The desktop folder, or "" when there is none to offer.
QString desktopFolder()
{
    try {
        return QString::fromStdString(Kist::getFolder(DesktopDir));
    } catch (const ExceptionModule&) {
        return {};
    }
}

QString orDesktop(const QString& folder)
{
    return folder.isEmpty() ? desktopFolder() : folder;
}

void showWithoutBlocking(QDialog& dialog)
{
    // A dialog already open for another send comes to the front.
    if (dialog.isVisible())
        dialog.raise();
    dialog.show();
}

// Holds the wait cursor and the view's busy flag for one operation.
class BusyScope {
public:
    explicit BusyScope(CKDropBox& view) : view(view)
    {
        view.setBusy(true);
        QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~BusyScope() { release(); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

    void release()
    {
        if (!held)
            return;
        held = false;
        QApplication::restoreOverrideCursor();
        view.setBusy(false);
    }

private:
    CKDropBox& view;
    bool held = true;
};

// The engine writes hardened packages for one export: the option is on only
// while that export runs and off again however it ends (written, failed or
// cancelled), so the next package is a standard one unless asked again.
class HardenedPackagesScope {
public:
    HardenedPackagesScope(Kist& engine, PackageForm form) : engine(engine)
    {
        engine.setHardenedPackages(form == PackageForm::Hardened);
    }
    ~HardenedPackagesScope() { engine.setHardenedPackages(false); }
    HardenedPackagesScope(const HardenedPackagesScope&) = delete;
    HardenedPackagesScope& operator=(const HardenedPackagesScope&) = delete;

private:
    Kist& engine;
};

} // namespace

VaultSender::VaultSender(CKDropBox& view, Kist& engine, SendHost& sendHost, VaultViewHost& viewHost,
                         QObject* parent)
    : QObject(parent), view(view), engine(engine), sendHost(sendHost), viewHost(viewHost)
{
}

VaultSender::~VaultSender() = default;

QString VaultSender::getDefaultConfig(const QString& key) const
{
    qCDebug(senderLog, "getDefaultConfig %s", qUtf8Printable(key));
    const auto stored = [this](const char* name) { return QString::fromStdString(engine.retrieveConfig(name)); };
    if (key == QLatin1String("DefaultsOn"))
        return stored("DefaultsOn");
    if (stored("DefaultsOn") != QLatin1String("true"))
        return {};
    return stored(key.toUtf8().constData());
}

QString VaultSender::noDropboxMessage()
{
    return QStringLiteral("DropBox is not setup on your computer. <a href=\"%1\"><span style=\"text-decoration: "
                          "underline; color:#0000ff;\">Install Dropbox</span></a> and then try again.")
        .arg(QLatin1String(WebAddresses::dropboxInstallPage));
}

QString VaultSender::mailBody()
{
    return QStringLiteral("\n\n") + QString(100, QLatin1Char('-')) + QLatin1Char('\n') +
           QStringLiteral("This is sent by KORVELIN - You Control Security and Privacy of Your files: ") +
           QLatin1String(WebAddresses::makerWebSite) + QLatin1Char('\n');
}

QString VaultSender::takeOutDestination()
{
    QString folder = getDefaultConfig(QStringLiteral("RestoreFolder"));
    if (folder.isEmpty())
        folder = FileDialog::getExistingDirectory(sendHost.hostWidget(), QStringLiteral("Select a directory"),
                                                  desktopFolder(), QFileDialog::ShowDirsOnly);
    return folder;
}

void VaultSender::restoreSelected()
{
    if (view.entryCount() == 0 || view.selectedNames().isEmpty()) {
        MessageBox::information(sendHost.hostWidget(), QStringLiteral("No Files Selected!"),
                                QStringLiteral("Looks like You haven't selected any files to take out of the Vault"));
        return;
    }
    const QString folder = takeOutDestination();
    if (folder.isEmpty())
        return;
    takeOutSelected(folder);
    viewHost.setSelectAllChecked(false);
    viewHost.updateSelectionState();
}

void VaultSender::restoreAll()
{
    const QString folder = takeOutDestination();
    if (folder.isEmpty())
        return;
    takeOutAll(folder);
}

void VaultSender::takeOutSelected(const QString& folder)
{
    takeOut(view.selectedNames(), folder, QStringLiteral("Getting the  selected files out of KORVELIN format..."));
}

void VaultSender::takeOutAll(const QString& folder)
{
    takeOut(view.allNames(), folder, QStringLiteral(" Getting the files out of KORVELIN format..."));
}

void VaultSender::takeOut(const QStringList& names, const QString& folder, const QString& busyStatus)
{
    BusyScope busy(view);
    view.setStatus(busyStatus);
    // The default restore folder may have been removed since it was chosen.
    QDir().mkpath(folder);
    const std::string narrowFolder = EngineText::toEngine(folder);
    QString failures;
    int failed = 0;
    int takenOut = 0;
    {
        EngineCall call(engine, viewHost.progressDisplay());
        for (const QString& name : names) {
            if (call.cancelled())
                break;
            const std::string narrowName = EngineText::toEngine(name);
            try {
                call.run([&] { engine.removeFile(narrowName, narrowFolder); });
                ++takenOut;
            } catch (const ExceptionModule& error) {
                // Cancel heard inside the entry: it stays whole in the vault.
                if (call.cancelled())
                    break;
                failures += EngineText::failureText(error) + QLatin1Char('\n');
                ++failed;
            }
        }
    }
    busy.release();
    // Only a take-out of every entry says the files were sent.
    const int total = static_cast<int>(names.size());
    const int cancelled = total - takenOut - failed;
    if (takenOut == total) {
        view.setStatus(QStringLiteral("Files sent to %1").arg(folder));
    } else {
        const QString why = failed > 0 && cancelled > 0
                                ? QStringLiteral("%1 failed, %2 cancelled").arg(failed).arg(cancelled)
                                : (failed > 0 ? QStringLiteral("failed") : QStringLiteral("cancelled"));
        view.setStatus(QStringLiteral("Took out %1 of %2 to %3; %4 not taken out (%5)")
                           .arg(takenOut)
                           .arg(total)
                           .arg(folder)
                           .arg(total - takenOut)
                           .arg(why));
    }
    if (!failures.isEmpty()) {
        MessageBox::warning(&view, QStringLiteral("Apologies, Unable to extract some files!"),
                            QStringLiteral("The following files could not be extracted. This is usually caused by a "
                                           "problem while creating the encrypted files.\n\n%1")
                                .arg(failures),
                            QMessageBox::Ok);
    }
    view.refresh();
}

QString VaultSender::exportSelected(const QString& folder, const QString& packageName, const QString& password,
                                    SendTarget target, PackageForm form)
{
    return exportNames(view.selectedNames(), folder, packageName, password, target, false, form);
}

QString VaultSender::exportAll(const QString& folder, const QString& packageName, const QString& password,
                               SendTarget target, PackageForm form)
{
    return exportNames(view.allNames(), folder, packageName, password, target, true, form);
}

QString VaultSender::exportNames(const QStringList& names, const QString& folder, const QString& packageName,
                                 const QString& password, SendTarget target, bool everything, PackageForm form)
{
    switch (target) {
    case SendTarget::Folder:
        view.setStatus(QStringLiteral("Encrypting and sending to %1...").arg(folder));
        break;
    case SendTarget::Dropbox:
        view.setStatus(QStringLiteral("Encrypting and sending to %1...").arg(QStringLiteral("Dropbox")));
        break;
    case SendTarget::Email:
        view.setStatus(QStringLiteral("Encrypting and sending to %1...").arg(QStringLiteral("Email")));
        break;
    }
    BusyScope busy(view);
    const auto fail = [&](const QString& message) {
        busy.release();
        view.setStatus(QStringLiteral("File export failed"));
        MessageBox::information(&view, QStringLiteral("File export error!"), message);
        return QString();
    };
    if (names.isEmpty())
        return fail(QStringLiteral("There are no files to export."));

    // A name is a file in the folder, never a path that leads elsewhere.
    if (packageName.contains(QLatin1Char('/')) || packageName == QLatin1String(".") ||
        packageName == QLatin1String(".."))
        return fail(QStringLiteral("Invalid KORVELIN file name: %1").arg(packageName));
    QString name = packageName;
    if (name.isEmpty()) {
        // A name the program chose never replaces a file that is there.
        name = InputRules::freeFileName(folder, InputRules::defaultPackageName(names.first()));
        if (name.isEmpty())
            return fail(QStringLiteral("No free file name for the KORVELIN file in: %1").arg(folder));
    }
    const QString path = joined(folder, name);
    try {
        EngineCall call(engine, viewHost.progressDisplay());
        const std::string narrowPath = EngineText::toEngine(path);
        const std::string narrowPassword = password.toStdString();
        const std::vector<std::string> narrow = narrowNames(names);
        const HardenedPackagesScope packageForm(engine, form);
        try {
            call.run([&] { engine.exportFiles(narrowPath, narrow, narrowPassword); });
        } catch (const ExceptionModule&) {
            if (!call.cancelled())
                throw;
            // Cancelled while the package was written: the engine left nothing.
            busy.release();
            view.setStatus(QStringLiteral("Cancelled: no KORVELIN file was written to %1").arg(folder));
            return {};
        }
    } catch (const ExceptionModule& error) {
        return fail(EngineText::failureText(error));
    }
    busy.release();
    if (target == SendTarget::Folder || (target == SendTarget::Dropbox && !everything))
        view.setStatus(QStringLiteral("Created %1").arg(path));
    else if (target == SendTarget::Dropbox)
        view.setStatus(QStringLiteral("Sent %1 to Dropbox").arg(path));
    view.refresh();
    return path;
}

void VaultSender::emailSelected(const QString& packageName, const QString& password, PackageForm form)
{
    // The package waits for the mail client in a folder of its own that only
    // this user can read.
    QString folder;
    try {
        folder = QString::fromStdString(Kist::getFolder(TempDir));
    } catch (const ExceptionModule& error) {
        view.setStatus(QStringLiteral("Email not sent"));
        MessageBox::information(&view, QStringLiteral("File export error!"), EngineText::failureText(error));
        return;
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    const QString path = exportSelected(folder, packageName, password, SendTarget::Email, form);
    if (path.isEmpty()) {
        // Nothing was written: there is nothing to hand over.
        QDir(folder).removeRecursively();
        view.setStatus(QStringLiteral("Email not sent"));
        return;
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    const QString attachment = mailAttachment(path);
    if (attachment.isEmpty()) {
        view.setStatus(QStringLiteral("Email not sent"));
        return;
    }
    const QString subject =
        QStringLiteral("Please find KORVELIN file %1 attached").arg(QFileInfo(attachment).fileName());
    // The package is written: the mail client gets it without the window
    // waiting for it, and the status tells how the hand-off ended.
    if (!sendMail(attachment, subject, mailBody()))
        view.setStatus(QStringLiteral("Email not sent"));
}

QString VaultSender::mailAttachment(const QString& packagePath)
{
    // The mail program gets a second name of the package (a hard link, or a
    // copy where none can be made) beside it in its private folder; the
    // package and the names inside it stay as they are.
    const QFileInfo package(packagePath);
    const QString safeName = InputRules::mailAttachmentName(package.fileName());
    if (safeName == package.fileName())
        return packagePath;
    const QString attachment = joined(package.path(), safeName);
    QFile::remove(attachment);
    if (::link(QFile::encodeName(packagePath).constData(), QFile::encodeName(attachment).constData()) == 0 ||
        QFile::copy(packagePath, attachment))
        return attachment;
    qCWarning(senderLog, "cannot give the package a name for the mail program: %s", qUtf8Printable(attachment));
    return {};
}

bool VaultSender::sendMail(const QString& attachmentPath, const QString& subject, const QString& body)
{
    MailHandoff* handoff = MailHandoff::start(attachmentPath, subject, body, this);
    if (!handoff)
        return false;
    connect(handoff, &MailHandoff::finished, this, [this](bool sent) {
        // The mail program only opens its compose window: the user sends it there.
        view.setStatus(sent ? QStringLiteral("Handed to your mail program") : QStringLiteral("Email not sent"));
    });
    return true;
}

bool VaultSender::sendSelected(int target)
{
    if (view.selectedNames().isEmpty()) {
        MessageBox::information(sendHost.hostWidget(), QStringLiteral("No Files!"),
                                QStringLiteral("Looks like You haven't selected any files to send out"));
        return false;
    }
    switch (target) {
    case 0:
        return saveSelectedToComputer();
    case 1:
        return sendSelectedToDropbox();
    case 2:
        return emailSelectedWithDefaults();
    default:
        return false;
    }
}

bool VaultSender::saveSelectedToComputer()
{
    const QString password = getDefaultConfig(QStringLiteral("DefaultPassword"));
    if (password.isEmpty()) {
        CKDefaultOffPwdSystem* dialog = sendHost.saveToComputerDialog();
        const QString desktop = desktopFolder();
        dialog->setLocation(desktop.isEmpty() ? defaultPackageFileName : joined(desktop, defaultPackageFileName));
        applyStoredSkin(*dialog, &engine);
        showWithoutBlocking(*dialog);
        return true;
    }
    const QString folder = orDesktop(getDefaultConfig(QStringLiteral("RestoreFolder")));
    // The default folder may have been removed since it was chosen.
    QDir().mkpath(folder);
    exportSelected(folder, QString(), password, SendTarget::Folder);
    return false;
}

bool VaultSender::sendSelectedToDropbox()
{
    QString dropbox;
    try {
        dropbox = QString::fromStdString(Kist::getFolder(DropboxDir));
    } catch (const ExceptionModule&) {
        MessageBox::information(sendHost.hostWidget(), QStringLiteral("No Dropbox"), noDropboxMessage());
        return false;
    }
    const QString password = getDefaultConfig(QStringLiteral("DefaultPassword"));
    if (password.isEmpty()) {
        CKDefaultsOffPwd* dialog = sendHost.passwordDialog();
        dialog->setMode(CKDefaultsOffPwd::SendToDropbox);
        dialog->applySkin();
        showWithoutBlocking(*dialog);
        return true;
    }
    // Defaults may be on without a Dropbox folder of their own.
    const QString folder = getDefaultConfig(QStringLiteral("DropboxFolder"));
    exportSelected(folder.isEmpty() ? dropbox : folder, QString(), password, SendTarget::Dropbox);
    return false;
}

bool VaultSender::emailSelectedWithDefaults()
{
    const QString password = getDefaultConfig(QStringLiteral("DefaultPassword"));
    if (password.isEmpty()) {
        CKDefaultsOffPwd* dialog = sendHost.passwordDialog();
        dialog->setMode(CKDefaultsOffPwd::SendByEmail);
        dialog->applySkin();
        showWithoutBlocking(*dialog);
        return true;
    }
    emailSelected(QString(), password);
    return false;
}
