// LogCompTrigger: implementation lands with its unit.
#include "logCompress/LogCompTrigger.h"
