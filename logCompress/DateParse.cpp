// DateParse: implementation lands with its unit.
#include "logCompress/DateParse.h"
