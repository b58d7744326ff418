// The log's category switches, "logmgr.xml" in the working directory, read
// when a log is constructed.
#include "Log.h"
#include "harness.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The file is read from the working directory; lines the log writes go
    // under HOME.
    setenv("HOME", fuzz::scratchDir().c_str(), 1);
    if (chdir(fuzz::scratchDir().c_str()) != 0) {
        perror("chdir");
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::writeFile("logmgr.xml", data, size);
    CLog log("fuzz");
    // Only the five category bits can be switched on.
    if (log.logMask() & ~(LOG_ERROR | LOG_FLOW | LOG_SPEED | LOG_PEMRX | LOG_DEBUG))
        abort();
    return 0;
}
