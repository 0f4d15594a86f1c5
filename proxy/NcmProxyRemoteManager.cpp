#include "proxy/NcmProxyRemoteManager.h"

#include "base/Clock.h"
#include "base/Logger.h"
#include "base/StringUtil.h"
#include "proxy/NcmProxy.h"
#include "transport/NcmConnKcp.h"
#include "transport/NcmConnTcp.h"

#include <algorithm>
#include <cstdio>

NcmProxyRemoteManager::NcmProxyRemoteManager(NcmProxy* proxy)
    : m_kcpManager(std::make_unique<NcmKcpManager>(proxy->eventBase()))
    , m_proxy(proxy)
{
    m_kcpAheadTimer.reset(event_new(
        proxy->eventBase(), -1, 0,
        [](evutil_socket_t, short, void* arg) { static_cast<NcmProxyRemoteManager*>(arg)->sweepKcpAhead(); },
        this));
    // On the loop's thread, once it runs.
    m_startEvent.reset(event_new(
        proxy->eventBase(), -1, 0,
        [](evutil_socket_t, short, void* arg) {
            static_cast<NcmProxyRemoteManager*>(arg)->openAheadToMappedRelays();
        },
        this));
    if (proxy->config.kcpEnabled)
        event_active(m_startEvent.get(), EV_TIMEOUT, 0);
}

NcmProxyRemoteManager::~NcmProxyRemoteManager()
{
    m_startEvent.reset();
    m_kcpAheadTimer.reset();
    // Closing sends each conversation's end marker at once, so the relay
    // frees its slot; the lingering channels go with the KCP manager.
    m_kcpAhead.clear();
    std::vector<NcmProxyEndpointRemote*> all;
    all.reserve(m_endpoints.size());
    for (auto& entry : m_endpoints)
        all.push_back(entry.first);
    for (NcmProxyEndpointRemote* endpoint : all)
        freeEndpoint(endpoint);
    m_httpPool.clear();
}

namespace {

std::string poolKeyOf(const std::string& name, const std::string& origin)
{
    return origin.empty() ? name : name + " " + StringUtil::toLower(origin);
}

} // namespace

NcmProxyEndpointRemote* NcmProxyRemoteManager::acquireEndpointHttp(
    const std::string& name, const std::string& origin, event* connectEvent)
{
    const std::string key = poolKeyOf(name, origin);
    auto it = m_httpPool.find(key);
    const int64_t now = Clock::nowSeconds();
    while (it != m_httpPool.end() && !it->second.empty()) {
        NcmProxyEndpointRemote* endpoint = it->second.front();
        // One that signalled while idle or waited too long may be ending at
        // the far end (a relay drops idle conversations without a word).
        if (endpoint->connectedAt == -1 || absDiff(now, endpoint->connectedAt) >= PoolIdleSeconds
            || !endpoint->conn || endpoint->conn->isClosed()) {
            freeEndpoint(endpoint); // also takes it off the list
            continue;
        }
        it->second.pop_front();
        logRemote.debug("acquireEndpointHttp pop %p from pool for %s", ptr(endpoint), key.c_str());
        endpoint->connectEvent = connectEvent;
        endpoint->reused = true;
        return endpoint;
    }
    NcmProxyEndpointRemote* endpoint = newEndpoint(name, connectEvent, origin);
    logRemote.debug("acquireEndpointHttp open new %p for %s", ptr(endpoint), key.c_str());
    return endpoint;
}

NcmProxyEndpointRemote* NcmProxyRemoteManager::newEndpoint(
    const std::string& name, event* connectEvent, const std::string& origin)
{
    const int64_t now = Clock::nowSeconds();
    if (absDiff(now, m_lastPoolSweep) >= PoolSweepSeconds) {
        m_lastPoolSweep = now;
        const std::vector<std::string> names = m_poolOrder;
        for (const std::string& poolName : names)
            purge(poolName, now);
    }

    auto owned = std::make_unique<NcmProxyEndpointRemote>();
    NcmProxyEndpointRemote* endpoint = owned.get();
    endpoint->connectedAt = now;
    endpoint->connectEvent = connectEvent;
    endpoint->name = name;
    endpoint->poolKey = poolKeyOf(name, origin);
    m_proxy->stats->remoteconn += 1;

    size_t first = name.find(':');
    size_t second = first == std::string::npos ? std::string::npos : name.find(':', first + 1);
    if (second == std::string::npos) {
        logRemote.error("SOMETHING WRONG! can not parse conn host port: %s", name.c_str());
    } else {
        endpoint->type = name.substr(0, first);
        endpoint->host = name.substr(first + 1, second - first - 1);
        endpoint->port = name.substr(second + 1);
    }
    m_endpoints.emplace(endpoint, std::move(owned));
    logRemote.debug("newEndpoint %p for %s", ptr(endpoint), name.c_str());
    return endpoint;
}

void NcmProxyRemoteManager::openConn(NcmProxyEndpointRemote* endpoint)
{
    logRemote.debug("openConn: %p for %s", ptr(endpoint), endpoint->name.c_str());
    if (StringUtil::isIpAddress(endpoint->host)) {
        connectEndpoint(endpoint, endpoint->host);
        return;
    }
    endpoint->dnsCallback = std::make_unique<DnsCallback>(
        [this, endpoint](const std::string& address) { connectEndpoint(endpoint, address); });
    m_proxy->dnsClient->chooseUsableIp(endpoint->host, endpoint->dnsCallback.get());
    if (m_proxy->config.debugCloseAfterOpen)
        closeConn(endpoint);
}

void NcmProxyRemoteManager::connectEndpoint(NcmProxyEndpointRemote* endpoint, const std::string& address)
{
    // This usually runs inside dnsCallback: keep the callable alive until
    // the next loop turn instead of destroying it under its own feet.
    if (endpoint->dnsCallback)
        m_proxy->deferDelete(std::shared_ptr<void>(std::move(endpoint->dnsCallback)));
    endpoint->ip = address;
    endpoint->connectError = 0;

    if (address.empty()) {
        m_proxy->stats->remotefail += 1;
        logRemote.error("can not resolve ip for %s", endpoint->name.c_str());
        event_active(endpoint->connectEvent, 0, 0);
        return;
    }

    const std::string target = address + ":" + endpoint->port;
    if (endpoint->type == "tcp") {
        endpoint->conn = std::make_unique<NcmConnTcp>(m_proxy->eventBase());
    } else if (endpoint->type == "kcp") {
        std::unique_ptr<NcmConnKcp> ready = takeKcpAhead(target);
        openKcpAhead(target); // for the next request to this relay
        if (ready) {
            logRemote.debug("endpoint %p to %s takes conversation %08x opened ahead", ptr(endpoint),
                endpoint->name.c_str(), ready->conv());
            ready->start();
            endpoint->conn = std::move(ready);
            endpoint->conn->setEventCallback([this, endpoint](NcmConn*, NcmConn::Event event, int32_t error,
                                                 uint32_t) { onConnectEvent(endpoint, event, error); });
            m_proxy->stats->remotesuc += 1;
            endpoint->connectedAt = Clock::nowSeconds();
            event_active(endpoint->connectEvent, EV_WRITE, 0);
            return;
        }
        endpoint->conn = createKcp();
    }
    // Only a malformed name has another type.
    if (!endpoint->conn) {
        m_proxy->stats->remotefail += 1;
        logRemote.error("SOMETHING WRONG! no connection for endpoint %p of type '%s' (%s)", ptr(endpoint),
            endpoint->type.c_str(), endpoint->name.c_str());
        event_active(endpoint->connectEvent, 0, 0);
        return;
    }

    logRemote.debug("connecting %p to %s, ip=%s", ptr(endpoint), endpoint->name.c_str(), target.c_str());
    endpoint->conn->setEventCallback([this, endpoint](NcmConn*, NcmConn::Event event, int32_t error,
                                         uint32_t) { onConnectEvent(endpoint, event, error); });
    endpoint->conn->connect(&m_proxy->ipStack, target, m_proxy->config.connectTimeout);
}

std::unique_ptr<NcmConnKcp> NcmProxyRemoteManager::createKcp()
{
    std::unique_ptr<NcmConnKcp> kcp = m_kcpManager->createConnection();
    const ProxyConfig& config = m_proxy->config;
    kcp->setMtu(KcpMtu);
    const int noCwnd
        = config.kcpCongestionWindow >= 0 ? 1 - config.kcpCongestionWindow : KcpNoCongestionWindow;
    kcp->setNoDelay(KcpNoDelay, KcpInterval, KcpFastResend, noCwnd);
    kcp->setWindowSize(config.kcpSendWindow > 0 ? config.kcpSendWindow : KcpSendWindow, KcpReceiveWindow);
    kcp->setPacing(config.kcpPacing == 1);
    kcp->setAckRepeat(config.kcpAckRepeat == 1);
    return kcp;
}

std::unique_ptr<NcmConnKcp> NcmProxyRemoteManager::takeKcpAhead(const std::string& target)
{
    auto it = m_kcpAhead.find(target);
    if (it == m_kcpAhead.end())
        return nullptr;
    const uint32_t now = Clock::tickCount();
    std::unique_ptr<NcmConnKcp> ready;
    std::vector<NcmConnKcp*> useless;
    for (auto entry = it->second.begin(); entry != it->second.end();) {
        NcmConnKcp* conn = entry->conn.get();
        const bool expired = static_cast<int32_t>(entry->expires - now) <= 0;
        if (!ready && !expired && conn->isReadyAhead()) {
            ready = std::move(entry->conn);
            entry = it->second.erase(entry);
            continue;
        }
        if (expired || conn->isClosed())
            useless.push_back(conn);
        ++entry; // else still being opened
    }
    if (it->second.empty())
        m_kcpAhead.erase(it);
    for (NcmConnKcp* conn : useless)
        dropKcpAhead(conn);
    return ready;
}

void NcmProxyRemoteManager::openKcpAhead(const std::string& target)
{
    std::list<KcpAhead>& list = m_kcpAhead[target];
    while (list.size() < KcpAheadPerRelay)
        openOneKcpAhead(target, list);
    if (!evtimer_pending(m_kcpAheadTimer.get(), nullptr))
        armTimerWithin(m_kcpAheadTimer.get(), KcpAheadLifeMs);
}

void NcmProxyRemoteManager::openOneKcpAhead(const std::string& target, std::list<KcpAhead>& list)
{
    std::unique_ptr<NcmConnKcp> kcp = createKcp();
    NcmConnKcp* conn = kcp.get();
    kcp->setOpenAhead(true);
    // Any word from the relay before the conversation is used (its end,
    // data, an error) or a failed Open makes it useless.
    kcp->setEventCallback([this](NcmConn* c, NcmConn::Event event, int32_t error, uint32_t) {
        if (event != NcmConn::Write && (event != NcmConn::Connect || error != 0))
            dropKcpAhead(static_cast<NcmConnKcp*>(c));
    });
    list.push_back(KcpAhead { std::move(kcp), Clock::tickCount() + KcpAheadLifeMs });
    conn->connect(&m_proxy->ipStack, target, m_proxy->config.connectTimeout);
    conn->requestRead();
}

void NcmProxyRemoteManager::dropKcpAhead(NcmConnKcp* conn)
{
    for (auto it = m_kcpAhead.begin(); it != m_kcpAhead.end(); ++it) {
        for (auto entry = it->second.begin(); entry != it->second.end(); ++entry) {
            if (entry->conn.get() != conn)
                continue;
            logRemote.debug("conversation %08x opened ahead to %s dropped", conn->conv(), it->first.c_str());
            // Closed now, deleted next turn: this may run inside its own callback.
            conn->close();
            m_proxy->deferDelete(std::shared_ptr<void>(std::move(entry->conn)));
            it->second.erase(entry);
            if (it->second.empty())
                m_kcpAhead.erase(it);
            return;
        }
    }
}

void NcmProxyRemoteManager::sweepKcpAhead()
{
    const uint32_t now = Clock::tickCount();
    uint32_t next = KcpAheadLifeMs;
    std::vector<NcmConnKcp*> expired;
    for (const auto& relay : m_kcpAhead) {
        for (const KcpAhead& entry : relay.second) {
            const int32_t left = static_cast<int32_t>(entry.expires - now);
            if (left <= 0)
                expired.push_back(entry.conn.get());
            else
                next = std::min(next, static_cast<uint32_t>(left));
        }
    }
    for (NcmConnKcp* conn : expired)
        dropKcpAhead(conn);
    if (!m_kcpAhead.empty())
        armTimerWithin(m_kcpAheadTimer.get(), next);
}

void NcmProxyRemoteManager::openAheadToMappedRelays()
{
    for (const auto& mapping : m_proxy->config.kcpHostMapping) {
        const std::string& target = mapping.second;
        const size_t colon = target.rfind(':');
        // ":PORT" (the request's own host) has no address to open to yet.
        if (colon != std::string::npos && StringUtil::isIpAddress(target.substr(0, colon)))
            openKcpAhead(target);
    }
}

size_t NcmProxyRemoteManager::kcpAheadCount() const
{
    size_t total = 0;
    for (const auto& entry : m_kcpAhead)
        total += entry.second.size();
    return total;
}

void NcmProxyRemoteManager::onConnectEvent(
    NcmProxyEndpointRemote* endpoint, NcmConn::Event event, int32_t error)
{
    logRemote.debug("endpoint %p connect event %d, err=%d", ptr(endpoint), static_cast<int>(event), error);
    if (event != NcmConn::Connect || !endpoint->connectEvent)
        return;
    if (error == 0) {
        m_proxy->stats->remotesuc += 1;
        endpoint->connectedAt = Clock::nowSeconds();
        event_active(endpoint->connectEvent, EV_WRITE, 0);
    } else {
        m_proxy->stats->remotefail += 1;
        endpoint->connectError = error;
        event_active(endpoint->connectEvent, 0, 0);
    }
}

void NcmProxyRemoteManager::closeConn(NcmProxyEndpointRemote* endpoint)
{
    if (endpoint->dnsCallback) {
        logRemote.debug("closeConn: %p for %s, remove dns callback", ptr(endpoint), endpoint->name.c_str());
        if (m_proxy->dnsClient)
            m_proxy->dnsClient->removeDnsCallback(endpoint->host, endpoint->dnsCallback.get());
        endpoint->dnsCallback.reset();
    }
    if (!endpoint->conn) {
        logRemote.debug("closeConn: %p for %s, no conn yet", ptr(endpoint), endpoint->name.c_str());
        return;
    }
    logRemote.debug("closeConn: %p for %s, read=%d, write=%d", ptr(endpoint), endpoint->name.c_str(),
        static_cast<int>(endpoint->conn->bytesRead()), static_cast<int>(endpoint->conn->bytesWritten()));
    // Closed now, deleted next turn: this may run inside the connection's own callback.
    endpoint->conn->close();
    m_proxy->deferDelete(std::shared_ptr<void>(std::move(endpoint->conn)));
}

void NcmProxyRemoteManager::freeEndpoint(NcmProxyEndpointRemote* endpoint)
{
    closeConn(endpoint);
    logRemote.debug("freeEndpoint %p for %s", ptr(endpoint), endpoint->name.c_str());
    if (m_proxy->stats)
        m_proxy->stats->remoteconn -= 1;
    // A pooled endpoint leaves its pool list too.
    auto pool = m_httpPool.find(endpoint->poolKey);
    if (pool != m_httpPool.end())
        pool->second.remove(endpoint);
    endpoint->connectEvent = nullptr;
    m_endpoints.erase(endpoint);
}

void NcmProxyRemoteManager::releaseHttp(NcmProxyEndpointRemote* endpoint)
{
    const bool kcp = endpoint->type == "kcp";
    const bool pooled = kcp ? m_proxy->config.kcpKeepAlive : !m_proxy->config.keepAliveDisabled;
    if (!pooled || !endpoint->conn || endpoint->conn->isClosed()) {
        logRemote.debug(
            "releaseHttp %p for %s, keep alive disabled. close.", ptr(endpoint), endpoint->name.c_str());
        freeEndpoint(endpoint);
        return;
    }
    logRemote.debug("releaseHttp %p for %s", ptr(endpoint), endpoint->poolKey.c_str());
    auto it = m_httpPool.find(endpoint->poolKey);
    if (it == m_httpPool.end()) {
        it = m_httpPool.emplace(endpoint->poolKey, PoolList()).first;
        m_poolOrder.push_back(endpoint->poolKey);
    }
    endpoint->connectedAt = Clock::nowSeconds();
    endpoint->connectEvent = nullptr;
    endpoint->responseComplete = false;
    endpoint->reused = false;
    endpoint->conn->setReadRoom(nullptr);
    endpoint->conn->setEventCallback([this, endpoint](NcmConn*, NcmConn::Event event, int32_t,
                                         uint32_t size) { onIdleEvent(endpoint, event, size); });
    endpoint->conn->requestRead();
    it->second.push_back(endpoint);
    while (it->second.size() > (kcp ? KcpPoolLimitPerHost : PoolLimitPerName))
        freeEndpoint(it->second.front()); // also takes it off the list
}

void NcmProxyRemoteManager::onIdleEvent(NcmProxyEndpointRemote* endpoint, NcmConn::Event event, uint32_t size)
{
    logRemote.debug("endpoint idle event %d, size: %d", static_cast<int>(event), static_cast<int>(size));
    if (event == NcmConn::Read)
        clearHttpPoolHostConn(endpoint);
}

void NcmProxyRemoteManager::clearHttpPoolHostConn(NcmProxyEndpointRemote* endpoint)
{
    endpoint->connectedAt = -1;
    logRemote.debug("clearHttpPoolHostConn: %p for %s", ptr(endpoint), endpoint->poolKey.c_str());
    if (m_httpPool.count(endpoint->poolKey))
        purge(endpoint->poolKey, Clock::nowSeconds());
}

void NcmProxyRemoteManager::purge(std::string name, int64_t now)
{
    auto it = m_httpPool.find(name);
    if (it == m_httpPool.end())
        return;
    std::vector<NcmProxyEndpointRemote*> stale;
    for (NcmProxyEndpointRemote* endpoint : it->second) {
        if (endpoint->connectedAt == -1 || absDiff(now, endpoint->connectedAt) >= PoolIdleSeconds)
            stale.push_back(endpoint);
    }
    for (NcmProxyEndpointRemote* endpoint : stale)
        freeEndpoint(endpoint);
    if (it->second.empty()) {
        m_httpPool.erase(it);
        m_poolOrder.erase(std::remove(m_poolOrder.begin(), m_poolOrder.end(), name), m_poolOrder.end());
    }
}

size_t NcmProxyRemoteManager::pooledCount() const
{
    size_t total = 0;
    for (const auto& entry : m_httpPool)
        total += entry.second.size();
    return total;
}

std::string NcmProxyRemoteManager::statsLine() const
{
    char text[256];
    std::snprintf(text, sizeof text, "endpoint=%d, httpPool=%d(%d)", static_cast<int>(m_endpoints.size()),
        static_cast<int>(m_httpPool.size()), static_cast<int>(pooledCount()));
    return text;
}
