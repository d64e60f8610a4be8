#include "desktop/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initVaultDeskResources()
{
    Q_INIT_RESOURCE(vaultdesk);
}

void vaultdesk::registerResources()
{
    initVaultDeskResources();
}
