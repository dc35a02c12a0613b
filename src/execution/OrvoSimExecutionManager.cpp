#include "execution/OrvoSimExecutionManager.h"

void OrvoSimExecutionManager::DebugTick() {}
