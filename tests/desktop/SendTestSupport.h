#pragma once

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QStandardItemModel>
#include <QUrlQuery>
#include <QWidget>

#include "desktop/CKDropBox.h"
#include "desktop/ElidedLabel.h"
#include "desktop/SendHost.h"
#include "desktop/StatusProgress.h"
#include "desktop/VaultSender.h"
#include "desktop/VaultViewHost.h"
#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "tests/desktop/DesktopTestSupport.h"

namespace sendtest {

// One hand-over from a dialog to the window's entry points.
struct HandOver {
    QString entryPoint; // "folder", "dropbox" or "email"
    QString folder;
    QString packageName;
    QString password;
    PackageForm form = PackageForm::Standard;
};

// Stands in for the main window: the vault view with its status line,
// "Select All" box and progress strip, the sending operations on it, and the
// two dialogs the window owns. Hand-overs are recorded and, unless told
// otherwise, carried out as the window does.
class FakeSendWindow : public QWidget, public VaultViewHost, public SendHost {
public:
    explicit FakeSendWindow(Kist* engine, WindowMode windowMode = VaultMode)
        : mode(windowMode)
        , status(new ElidedLabel(this))
        , selectAll(new QCheckBox(QStringLiteral("Select All"), this))
        , progress(new StatusProgress(this))
    {
        setObjectName(QStringLiteral("CKMainWindow"));
        resize(420, 350);
        status->setGeometry(30, 320, 371, 20);
        selectAll->setGeometry(150, 270, 71, 17);
        progress->setGeometry(30, 298, 371, 20);
        view = new CKDropBox(this, this, engine, status);
        view->move(150, 46);
        sender = new VaultSender(*view, *engine, *this, *this, this);
        view->setOperations(sender);
        pwdDialog = new CKDefaultsOffPwd(this, engine, this);
        systemDialog = new CKDefaultOffPwdSystem(this, this);
    }

    // VaultViewHost
    WindowMode windowMode() const override { return mode; }
    void setSelectAllChecked(bool checked) override { selectAll->setChecked(checked); }
    void updateSelectionState() override { ++selectionUpdates; }
    ProgressDisplay* progressDisplay() override { return progress; }

    // SendHost
    void saveToFolder(const QString& folder, const QString& name, const QString& password, PackageForm form) override
    {
        handOvers.append({QStringLiteral("folder"), folder, name, password, form});
        if (carryOut)
            lastPackage = sender->exportSelected(folder, name, password, SendTarget::Folder, form);
    }
    void sendToDropbox(const QString& folder, const QString& name, const QString& password, PackageForm form) override
    {
        handOvers.append({QStringLiteral("dropbox"), folder, name, password, form});
        if (carryOut)
            lastPackage = sender->exportSelected(folder, name, password, SendTarget::Dropbox, form);
    }
    void sendByEmail(const QString& name, const QString& password, PackageForm form) override
    {
        handOvers.append({QStringLiteral("email"), QString(), name, password, form});
        if (carryOut)
            sender->emailSelected(name, password, form);
    }
    void setStatusLine(const QString& text) override { view->setStatus(text); }
    QString vaultPassword() const override { return kept; }
    void keepVaultPassword(const QString& password) override { kept = password; }
    CKDefaultsOffPwd* passwordDialog() override { return pwdDialog; }
    CKDefaultOffPwdSystem* saveToComputerDialog() override { return systemDialog; }
    QWidget* hostWidget() override { return this; }

    // Ticks the top-level entries of these names.
    void tick(const QStringList& names)
    {
        for (int row = 0; row < view->itemModel()->rowCount(); ++row) {
            QStandardItem* item = view->itemModel()->item(row);
            if (names.contains(item->data(CKDropBox::EntryNameRole).toString()))
                item->setCheckState(Qt::Checked);
        }
    }

    WindowMode mode;
    ElidedLabel* status;
    QCheckBox* selectAll;
    StatusProgress* progress;
    CKDropBox* view = nullptr;
    VaultSender* sender = nullptr;
    CKDefaultsOffPwd* pwdDialog = nullptr;
    CKDefaultOffPwdSystem* systemDialog = nullptr;
    int selectionUpdates = 0;
    QString kept;
    bool carryOut = true;
    QList<HandOver> handOvers;
    QString lastPackage;
};

// Stores a file of the given name and bytes in the engine; returns its source path.
inline QString storeFile(Kist& engine, const QString& name, const QByteArray& bytes)
{
    const QString path = desktoptest::writeFile(desktoptest::makeFolder(QStringLiteral("source")) + "/" + name, bytes);
    engine.addFile(path.toStdString(), nullptr, false);
    return path;
}

// True when the package at path opens with password and holds exactly names.
inline bool packageHolds(const QString& path, const std::string& password, QStringList names)
{
    if (!QFile::exists(path))
        return false;
    Kist package(path.toStdString());
    if (!package.login(password))
        return false;
    QStringList listed = desktoptest::listedNames(package);
    listed.sort();
    names.sort();
    return listed == names;
}

// Points the Dropbox client's settings of the scratch home at folder.
inline void installDropbox(const QString& folder)
{
    QDir().mkpath(folder);
    desktoptest::writeFile(QDir::homePath() + "/.dropbox/info.json",
                           QStringLiteral("{\"personal\": {\"path\": \"%1\", \"host\": 1}}").arg(folder).toUtf8());
}

} // namespace sendtest
