// The service's four logs, in its work folder.
#pragma once
#include "common/log.h"

extern LogFile mainLog;        // "kestrel_log.txt": every step in detail
extern LogFile decodeListLog;  // "kestrel_dec_list.txt": the short lines of each job
extern LogFile errorListLog;   // "kestrel_err_list.txt": movies that failed
extern LogFile sequenceLog;    // "kestrel_seq.txt": window messages and job steps
