#pragma once
#include "base/EventPtr.h"
#include "resolver/NcmDnsClient.h"
#include "transport/NcmConn.h"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class NcmProxy;
class NcmKcpManager;
class NcmConnKcp;

// One attempt to reach one upstream, named "tcp:host:port" or
// "kcp:relay:port". Its first two members mirror the context's local end so
// that the relay code treats both sides alike.
struct NcmProxyEndpointRemote {
    bool responseComplete = false;
    bool reused = false; // taken from the pool: it served an earlier request
    NcmConnPtr conn;
    int64_t connectedAt = 0; // -1: pooled connection that signalled while idle
    int retryCount = 0;
    int32_t connectError = 0; // of the last failed connect
    std::string name;
    // Its pool: the name and, for a relay, the host its conversation was
    // routed to by the first request (the relay keeps that upstream).
    std::string poolKey;
    event* connectEvent = nullptr; // the waiting context's, not owned
    std::string type;
    std::string host;
    std::string port;
    std::string ip;
    // Set while a resolution for this endpoint is pending at the DNS client.
    std::unique_ptr<DnsCallback> dnsCallback;
};

// Owns every upstream endpoint of one activation, resolves and connects
// them, reports the outcome through the context's connect event, and keeps
// a keep-alive pool of idle HTTP connections when keep-alive is enabled.
// Event-loop thread only.
class NcmProxyRemoteManager {
public:
    static constexpr size_t PoolLimitPerName = 3;
    // The engine's parallel requests per host, so that a page's next wave
    // finds every relay conversation of the last one.
    static constexpr size_t KcpPoolLimitPerHost = 6;
    static constexpr int64_t PoolIdleSeconds = 10;
    static constexpr int64_t PoolSweepSeconds = 5;
    // Engine settings of every KCP connection, applied before connect.
    static constexpr int KcpMtu = 1360;
    static constexpr int KcpNoDelay = 1;
    static constexpr int KcpInterval = 20; // ms
    static constexpr int KcpFastResend = 2;
    static constexpr int KcpNoCongestionWindow = 0;
    static constexpr int KcpSendWindow = 1204;
    static constexpr int KcpReceiveWindow = 1024;
    // Conversations opened ahead per relay, so that a request skips the
    // Open's round trip: as many as the engine's parallel requests, for the
    // first wave of a page. They are topped up when another to the relay is
    // opened and live far below the relay's idle time-out (60 s), like the pool.
    static constexpr size_t KcpAheadPerRelay = 6;
    static constexpr uint32_t KcpAheadLifeMs = 10000;

    explicit NcmProxyRemoteManager(NcmProxy* proxy);
    ~NcmProxyRemoteManager();
    NcmProxyRemoteManager(const NcmProxyRemoteManager&) = delete;
    NcmProxyRemoteManager& operator=(const NcmProxyRemoteManager&) = delete;

    // `origin`: "host:port" of the request, which a relay routes by.
    NcmProxyEndpointRemote* acquireEndpointHttp(
        const std::string& name, const std::string& origin, event* connectEvent);
    NcmProxyEndpointRemote* newEndpoint(
        const std::string& name, event* connectEvent, const std::string& origin = {});
    void openConn(NcmProxyEndpointRemote* endpoint);
    void connectEndpoint(NcmProxyEndpointRemote* endpoint, const std::string& address);
    void closeConn(NcmProxyEndpointRemote* endpoint);
    // Pools the endpoint if its kind is pooled; the caller vouches that its
    // last response ended cleanly and the upstream keeps the connection.
    void releaseHttp(NcmProxyEndpointRemote* endpoint);
    void freeEndpoint(NcmProxyEndpointRemote* endpoint);
    void clearHttpPoolHostConn(NcmProxyEndpointRemote* endpoint);
    std::string statsLine() const;

    size_t endpointCount() const { return m_endpoints.size(); }
    size_t pooledCount() const;
    size_t kcpAheadCount() const;

private:
    using PoolList = std::list<NcmProxyEndpointRemote*>;

    void purge(std::string name, int64_t now); // by value: freeing may destroy the caller's string
    void onConnectEvent(NcmProxyEndpointRemote* endpoint, NcmConn::Event event, int32_t error);
    void onIdleEvent(NcmProxyEndpointRemote* endpoint, NcmConn::Event event, uint32_t size);

    struct KcpAhead {
        std::unique_ptr<NcmConnKcp> conn;
        uint32_t expires; // tick count
    };
    std::unique_ptr<NcmConnKcp> createKcp();
    // A ready conversation to the relay at `target`, if one is; drops the
    // ones the relay closed, refused or let time out.
    std::unique_ptr<NcmConnKcp> takeKcpAhead(const std::string& target);
    void openKcpAhead(const std::string& target);
    void openOneKcpAhead(const std::string& target, std::list<KcpAhead>& list);
    void dropKcpAhead(NcmConnKcp* conn);
    void sweepKcpAhead();
    // Each relay the mapping names by address gets its conversations
    // opened ahead at once, so that even the first request skips the Open.
    void openAheadToMappedRelays();

    // Pool entries by name; the vector keeps the names in insertion order.
    std::unordered_map<std::string, PoolList> m_httpPool;
    std::vector<std::string> m_poolOrder;
    std::unordered_map<NcmProxyEndpointRemote*, std::unique_ptr<NcmProxyEndpointRemote>> m_endpoints;
    int64_t m_lastPoolSweep = 0;
    // Outlives the endpoints (the destructor frees them first): channels of
    // closed KCP connections linger here and go with it.
    std::unique_ptr<NcmKcpManager> m_kcpManager;
    // By relay "address:port"; before the KCP manager in destruction.
    std::map<std::string, std::list<KcpAhead>> m_kcpAhead;
    EventPtr m_kcpAheadTimer;
    EventPtr m_startEvent; // the first loop turn
    NcmProxy* m_proxy;
};
