// LogCompExec: implementation lands with its unit.
#include "logCompress/LogCompExec.h"
