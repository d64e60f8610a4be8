#include "desktop/VaultViewHost.h"

VaultViewHost::~VaultViewHost() = default;

bool VaultViewHost::vaultLocked() const
{
    return false;
}
