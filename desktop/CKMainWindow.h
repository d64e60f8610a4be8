#pragma once

#include <QMainWindow>

#include <memory>

#include "desktop/SendHost.h"
#include "desktop/Skin.h"
#include "desktop/VaultViewHost.h"
#include "desktop/WindowMode.h"

class CKDefaultOffPwdSystem;
class CKDefaultsOffPwd;
class CKDropBox;
class Kist;
class QMimeData;
class StatusProgress;
class VaultSender;
class WindowLook;

namespace Ui {
class CKMainWindow;
}

// The program's main window: the user's vault, an opened package or the
// package composer. It borrows the engine; whoever started it destroys both.
class CKMainWindow : public QMainWindow, public VaultViewHost, public SendHost {
    Q_OBJECT

public:
    CKMainWindow(Kist* engine, WindowMode mode, QWidget* parent = nullptr);
    ~CKMainWindow() override;

    // Called once after construction: true only for the user's vault at a
    // normal start.
    void setVaultMode(bool on);
    // A writer button or a shell switch (0 folder, 1 Dropbox, 2 e-mail); true
    // when a dialog was opened that finishes the send.
    bool sendSelected(int target);

    // VaultViewHost
    WindowMode windowMode() const override;
    void setSelectAllChecked(bool checked) override;
    void updateSelectionState() override;
    ProgressDisplay* progressDisplay() override;

    // SendHost
    void saveToFolder(const QString& folder, const QString& packageName, const QString& password) override;
    void sendToDropbox(const QString& folder, const QString& packageName, const QString& password) override;
    void sendByEmail(const QString& packageName, const QString& password) override;
    void setStatusLine(const QString& text) override;
    QString vaultPassword() const override;
    void keepVaultPassword(const QString& password) override;
    CKDefaultsOffPwd* passwordDialog() override;
    CKDefaultOffPwdSystem* saveToComputerDialog() override;
    QWidget* hostWidget() override;

    Ui::CKMainWindow* form() const { return ui.get(); }
    CKDropBox* vaultView() const { return view; }
    WindowLook* look() const { return windowLook.get(); }
    StatusProgress* statusProgress() const { return progress; }
    // The skin whose menu action is checked.
    SkinKind currentSkin() const { return skin; }

public Q_SLOTS:
    void showWindow();
    void BlackSkinSelected();
    void BlueSkinSelected();
    void PinkSkinSelected();

Q_SIGNALS:
    void changed(const QMimeData* data);
    void changed();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    Kist* engine;
    WindowMode mode;
    std::unique_ptr<Ui::CKMainWindow> ui;
    CKDropBox* view;
    StatusProgress* progress;
    std::unique_ptr<WindowLook> windowLook;
    SkinKind skin = SkinKind::Black;
    VaultSender* sender = nullptr;
    CKDefaultsOffPwd* pwdDialog = nullptr;
    CKDefaultOffPwdSystem* systemDialog = nullptr;
    QString keptPassword;
};
