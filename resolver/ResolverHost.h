#pragma once
#include "base/EventPtr.h"
#include "base/NcmStats.h"
#include "base/ProxyConfig.h"
#include "transport/Nat64Address.h"

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

// What the resolver uses of the service that owns its DNS client, and no
// more. The service owns every part and outlives the client and its tasks.
// Event-loop thread only, except appendReports.
struct ResolverHost {
    // Made at the service's first activation and kept from then on.
    const EventBasePtr& eventBase;
    const ProxyConfig& config;
    // Filled in by the DNS client; connections read them.
    IpStackFacts& ipStack;
    // The current activation's counters; tasks hold on to the ones they
    // were started under.
    const std::shared_ptr<NcmStats>& stats;
    // Draws the configured servers.
    std::mt19937& rng;
    // Appends records to the service's report queue (any thread).
    std::function<void(const std::vector<std::string>& records)> appendReports;
};
