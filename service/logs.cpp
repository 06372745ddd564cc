#include "service/logs.h"

LogFile mainLog;
LogFile decodeListLog;
LogFile errorListLog;
LogFile sequenceLog;
