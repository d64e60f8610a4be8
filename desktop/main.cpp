#include <QApplication>

#include <memory>

#include "desktop/CKMainWindow.h"
#include "desktop/MessageBox.h"
#include "desktop/Resources.h"
#include "engine/Kist.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVELIN Safehold"));
    QApplication::setDesktopFileName(QStringLiteral("com.brannoway.KorvelinSafehold"));
    vaultdesk::registerResources();

    std::unique_ptr<Kist> engine;
    try {
        engine = std::make_unique<Kist>(true);
    } catch (const ExceptionModule& error) {
        MessageBox::information(nullptr, QStringLiteral("Error"), QString::fromStdString(error.getMessage()));
        return 1;
    }
    CKMainWindow window(engine.get(), VaultMode);
    window.setVaultMode(true);
    window.show();
    const int status = QApplication::exec();
    return status;
}
