#include "desktop/ProgressDisplay.h"

ProgressDisplay::~ProgressDisplay() = default;
