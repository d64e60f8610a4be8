#include "desktop/VaultDeskApplication.h"

#include <atomic>

#include "desktop/EngineText.h"
#include "desktop/MessageBox.h"
#include "engine/Kist.h"

namespace {

std::atomic<bool> unhandledError{false};

} // namespace

VaultDeskApplication::VaultDeskApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

bool VaultDeskApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const ExceptionModule& error) {
        reportUnhandledError(EngineText::failureText(error));
    } catch (const std::exception& error) {
        reportUnhandledError(QString::fromLocal8Bit(error.what()));
    }
    return false;
}

bool VaultDeskApplication::hadUnhandledError()
{
    return unhandledError.load();
}

void VaultDeskApplication::clearUnhandledError()
{
    unhandledError = false;
}

void VaultDeskApplication::reportUnhandledError(const QString& message)
{
    // A second error while the first box is up adds nothing for the user.
    if (unhandledError.exchange(true))
        return;
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    MessageBox::information(nullptr, QStringLiteral("Error"), message);
    QApplication::exit(-1);
}
