#pragma once
#include "base/EventPtr.h"
#include "resolver/LocalIpStack.h"
#include "resolver/Nat64Discovery.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

struct ResolverHost;
class NcmDnsResolutionTask;

// Receives the chosen IPv4 address text (empty when none). The caller owns
// the object and keeps it alive until it ran or was withdrawn.
using DnsCallback = std::function<void(const std::string&)>;

// Turns host names into addresses for the remote manager: a cache with
// expiry, one resolution task per host shared by every caller waiting for
// it, the configured "DomainIps" merged after the answers, and reports of
// addresses that failed. One per activation; event-loop thread only.
class NcmDnsClient {
public:
    explicit NcmDnsClient(ResolverHost* service);
    ~NcmDnsClient();
    NcmDnsClient(const NcmDnsClient&) = delete;
    NcmDnsClient& operator=(const NcmDnsClient&) = delete;

    // Calls *callback exactly once, before returning (cache hit, empty host)
    // or later from the event loop, unless it is withdrawn first.
    void chooseUsableIp(const std::string& host, DnsCallback* callback);
    // Withdraws a callback; once this returns it is never called.
    void removeDnsCallback(const std::string& host, DnsCallback* callback);
    // Drops an address that failed from the cache and queues a report.
    void discardUnusableIp(const std::string& host, const std::string& ip);
    // Empties the cache and rereads the system's servers at the next request.
    void requestCacheClear();
    std::string statsLine();

    // Task completions.
    void onResolveOver(const std::string& host);
    void onResolveHttpDnsOver(const std::string& host);

    ResolverHost* service() const { return m_service; }
    bool systemDnsKnown() const { return m_systemDnsKnown; }
    const std::vector<std::string>& configDnsUdp() const { return m_configDnsUdp; }
    const std::vector<std::string>& httpDnsServers() const { return m_httpDnsServers; }
    bool httpDnsPending() const { return m_httpDnsPending; }

private:
    struct CachedHostIps {
        int64_t updateTime = 0;
        std::vector<std::string> ips;
    };
    using TaskPtr = std::shared_ptr<NcmDnsResolutionTask>;
    // Callbacks detached for a call, kept visible to removeDnsCallback.
    struct Dispatch {
        const std::string* host;
        std::vector<DnsCallback*>* callbacks;
    };

    // What a NAT64 discovery worker is given and hands back, shared with
    // the worker, which may outlive the client. The worker writes the search
    // only before it sets `finished`; the loop reads it only after seeing
    // `finished`. The client clears `done` when it goes.
    struct Nat64Job {
        Nat64Search search;
        std::mutex mutex;
        event* done = nullptr;
        bool finished = false;
    };

    void resolveToChooseUsableIp(const std::string& host, DnsCallback* callback);
    void startNat64Discovery(int64_t now);
    static void onNat64Done(evutil_socket_t, short, void* arg);
    void prepareConfigDns();
    void prepareHttpDns();
    std::vector<std::string> pickRandom(const std::vector<std::string>& list, size_t n);
    void shuffle(std::vector<std::string>& list);
    std::vector<std::string> answerList(const NcmDnsResolutionTask& task);

    std::unordered_map<std::string, TaskPtr> m_taskMap;
    std::unordered_map<std::string, std::vector<DnsCallback*>> m_callbackMap;
    std::unordered_map<std::string, CachedHostIps> m_ipCache;
    int64_t m_lastCacheSweep = 0;
    bool m_cacheClearRequested = false;
    std::vector<std::string> m_systemDns;
    std::vector<std::string> m_configDnsTcp;
    std::vector<std::pair<std::string, std::string>> m_httpDnsHosts;
    int64_t m_lastHttpDnsPrepare = 0;
    bool m_httpDnsPending = true;
    std::vector<std::string> m_httpDnsServers;
    std::vector<TaskPtr> m_httpDnsHostTasks;
    ResolverHost* m_service;
    bool m_systemDnsKnown = false;
    std::vector<std::string> m_configDnsUdp;
    int64_t m_lastSystemDnsCheck = 0;
    // Detected at the first request, again while unknown and when the system's servers change.
    ELocalIPStack m_localIpStack = ELocalIPStack_None;
    // The host's resolvers, read once when the client is made.
    std::vector<std::string> m_hostDns;
    std::vector<Dispatch> m_dispatching;
    // NAT64 discovery blocks (a system lookup, a probe with a time-out), so
    // it runs on a worker thread, at most one at a time, and again after a
    // failure only once a minute.
    std::shared_ptr<Nat64Job> m_nat64Job;
    EventPtr m_nat64Done;
    bool m_nat64Started = false;
    int64_t m_nat64LastStart = 0;
};
