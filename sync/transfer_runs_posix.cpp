#include "sync/transfer_runs.h"

// The transfer tool is a Windows program: natively it never starts, as when
// it is not installed.
int32_t RunProcess(const char*, uint32_t& childProcessId, uint32_t& errorCode) {
    childProcessId = 0;
    errorCode = 2;
    return 99;
}
