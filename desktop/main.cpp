#include "desktop/Resources.h"
#include "desktop/StartUp.h"
#include "desktop/VaultDeskApplication.h"

int main(int argc, char** argv)
{
    VaultDeskApplication app(argc, argv);
    // The application name stays "VaultDesk" (the executable's): the desktop
    // entry's StartupWMClass and the window manager's class depend on it.
    QApplication::setDesktopFileName(QStringLiteral("com.brannoway.KorvelinSafehold"));
    vaultdesk::registerResources();

    StartUp startUp(QApplication::arguments());
    return startUp.run();
}
