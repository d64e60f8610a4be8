#include "desktop/VaultViewHost.h"

VaultViewHost::~VaultViewHost() = default;
