#include "desktop/EngineText.h"
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

    // The raw arguments: a path reaches the engine as the file system spells it.
    StartUp startUp(EngineText::arguments(argc, argv));
    return startUp.run();
}
