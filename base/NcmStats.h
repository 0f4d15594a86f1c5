#pragma once
#include <cstdint>

// Counters of one activation; touched only on the event-loop thread.
struct NcmStats {
    int32_t dnsreq = 0; // resolution tasks started by the DNS client
    int32_t pxyreq = 0; // accepted client connections
    int32_t remotesuc = 0; // upstream connects that succeeded
    int32_t remotefail = 0; // upstream connects that failed, hosts without address
    int32_t dnsctx = 0; // live resolution tasks
    int32_t pxyctx = 0; // live proxy contexts
    int32_t remoteconn = 0; // live upstream endpoints
};
