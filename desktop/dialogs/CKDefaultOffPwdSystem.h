#pragma once

#include <QDialog>

#include <memory>

class QTimer;
class SendHost;

namespace Ui {
class CKDefaultOffPwdSystem;
}

// "Encrypt And Save To Computer": asks for the name, location and password of
// a package, and whether it is hardened, when the defaults are off, settles
// folder and file name, and hands them to SendHost::saveToFolder. Shown
// without blocking.
class CKDefaultOffPwdSystem : public QDialog {
    Q_OBJECT

public:
    CKDefaultOffPwdSystem(SendHost* host, QWidget* parent);
    ~CKDefaultOffPwdSystem() override;

    // Puts the suggested package path into the name-and-location row.
    void setLocation(const QString& path);
    [[nodiscard]] QTimer* hideTimer() const { return hideLater; }

public Q_SLOTS:
    void selectExtractionFolderClicked();
    void okButtonclicked();

protected:
    // Opened again within the second after Ok: the pending hide is dropped.
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<Ui::CKDefaultOffPwdSystem> ui;
    SendHost* host;
    QTimer* hideLater;
    // The last path the save chooser returned: it asked about replacing it.
    QString confirmedPath;
};
