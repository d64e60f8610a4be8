#include "desktop/SendHost.h"

SendHost::~SendHost() = default;
