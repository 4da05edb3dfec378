// LogManager: implementation lands with its unit.
#include "logCompress/LogManager.h"
