#include "base/GlobalInit.h"

#include "base/Logger.h"

#include <event2/thread.h>

#include <mutex>

void proxyGlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        buildLevelRankTable();
        // The controlling thread breaks the loop from outside.
        evthread_use_pthreads();
    });
}
