#include "proxy/NcmProxy.h"

#include "base/Clock.h"
#include "base/Logger.h"
#include "base/UniqueSocket.h"
#include "proxy/NcmProxyContext.h"
#include "proxy/NcmProxyRemoteManager.h"
#include "resolver/NcmDnsClient.h"

#include "base/SocketUtil.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/socket.h>

namespace {

constexpr int AcceptRetryMs = 500;
constexpr int LingerMs = 5000;

} // namespace

struct LingeringClient {
    NcmProxy* proxy = nullptr;
    UniqueSocket socket;
    EventPtr event;
    std::chrono::steady_clock::time_point deadline;
};

ProxyRuntime::ProxyRuntime() = default;

ProxyRuntime::~ProxyRuntime() = default;

NcmProxy::NcmProxy()
    : runtime(std::make_unique<ProxyRuntime>())
    , rng(static_cast<uint32_t>(std::time(nullptr)))
    , resolverHost { runtime->eventBase, config, ipStack, stats, rng,
        [this](const std::vector<std::string>& records) { appendReports(records); } }
{
}

NcmProxy::~NcmProxy()
{
    stop();
}

void NcmProxy::activate(const char* text)
{
    const int64_t now = Clock::nowSeconds();
    const int64_t last = lastAcceptTime.load();
    const int64_t idle = now > last ? now - last : last - now;
    if (idle < config.backgroundIdleTimeoutToReactivate)
        return;
    if (last == 0) {
        logProxy.info("local proxy activated for the first time");
    } else {
        logProxy.info("local proxy has been idle for long time, activate it again");
        stop();
    }
    std::lock_guard<std::mutex> lock(runtime->activationLock);
    doActivate(text ? text : "");
}

void NcmProxy::doActivate(const char* text)
{
    if (stats) {
        logProxy.info("local proxy is running, skip activating");
        return;
    }
    logProxy.info("local proxy is being activated ...");
    if (!runtime->eventBase) {
        // Changes to a descriptor's events within one loop turn reach epoll
        // as one call: a request re-arms reads and writes several times.
        // Safe here because no descriptor is ever dup'ed.
        EventConfigPtr cfg(event_config_new());
        event_config_set_flag(cfg.get(), EVENT_BASE_FLAG_EPOLL_USE_CHANGELIST);
        runtime->eventBase.reset(event_base_new_with_config(cfg.get()));
    }
    if (text[0] != '\0') {
        config = ProxyConfig();
        config.parse(text);
    }
    stats = std::make_shared<NcmStats>();

    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(config.fixedLocalPort > 0 ? config.fixedLocalPort : 0));

    errno = 0;
    runtime->listener.reset(evconnlistener_new_bind(runtime->eventBase.get(), &NcmProxy::onAccept, this,
        LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE, -1,
        reinterpret_cast<sockaddr*>(&address), sizeof address));
    int bindError = errno;
    if (runtime->listener) {
        evconnlistener_set_error_cb(runtime->listener.get(), &NcmProxy::onListenerError);
        sockaddr_storage bound;
        socklen_t length = sizeof bound;
        if (getsockname(
                evconnlistener_get_fd(runtime->listener.get()), reinterpret_cast<sockaddr*>(&bound), &length)
                == 0
            && bound.ss_family == AF_INET) {
            runtime->port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        }
    }

    if (runtime->listener && runtime->port > 0) {
        logProxy.debug("local proxy is listening at %d", runtime->port.load());
        ipStack = IpStackFacts {};
        if (dnsClient)
            dnsClient->requestCacheClear();
        runtime->reapEvent.reset(event_new(runtime->eventBase.get(), -1, 0, &NcmProxy::onReap, this));
        runtime->acceptRetryEvent.reset(
            event_new(runtime->eventBase.get(), -1, 0, &NcmProxy::onAcceptRetry, this));
        runtime->acceptPaused = false;
        remoteManager = std::make_shared<NcmProxyRemoteManager>(this);
        dnsClient = std::make_shared<NcmDnsClient>(&resolverHost);
        lastAcceptTime = Clock::nowSeconds();
        runtime->loopDone = false;
        try {
            runtime->loopThread = std::thread(&NcmProxy::loopMain, this);
        } catch (const std::system_error&) {
            logProxy.error("SOMETHING WRONG! can not start the event loop thread");
            deactivate();
        }
        return;
    }

    logProxy.error(
        "local proxy failed. errno=%d, err=%s", bindError, evutil_socket_error_to_string(bindError));
    // Unlike a running service, a failed one keeps nothing: a later
    // activation tries to bind again.
    runtime->listener.reset();
    runtime->port = -1;
    stats.reset();
}

void NcmProxy::loopMain()
{
    // A write to a peer that has gone must fail with EPIPE, not end
    // whatever program embeds the proxy.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    // Named, so that process lists and profiles tell it from the threads of the program that embeds it.
    pthread_setname_np(pthread_self(), "lumaview-proxy");

    event_base_loop(runtime->eventBase.get(), 0);
    logProxy.debug("event loop over");
    auto contexts = std::move(runtime->contextTable);
    runtime->contextTable.clear();
    for (auto& entry : contexts)
        entry.second->close();
    contexts.clear();
    reap();
    deactivate();
    reap();
    runtime->lingering.clear();
    runtime->acceptRetryEvent.reset();
    runtime->reapEvent.reset();
    runtime->loopDone = true;
}

void NcmProxy::deactivate()
{
    remoteManager.reset();
    dnsClient.reset();
    runtime->listener.reset();
    runtime->port = -1;
    dumpStats();
    stats.reset();
}

void NcmProxy::stop()
{
    std::lock_guard<std::mutex> lock(runtime->activationLock);
    if (runtime->loopThread.joinable()) {
        // A break that lands before the loop starts is forgotten by libevent,
        // so repeat it until the thread reports that the loop is over.
        while (!runtime->loopDone) {
            event_base_loopbreak(runtime->eventBase.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        runtime->loopThread.join();
    }
    lastAcceptTime = 0;
}

void NcmProxy::onAccept(evconnlistener*, evutil_socket_t fd, sockaddr* peer, int peerLength, void* arg)
{
    NcmProxy* self = static_cast<NcmProxy*>(arg);
    const int64_t now = Clock::nowSeconds();
    self->lastAcceptTime = now;
    if (self->runtime->acceptPaused) {
        self->runtime->acceptPaused = false;
        logProxy.info("accepting clients again");
    }
    // Contexts turn idle only as the clock moves on: one sweep per second
    // finds the same ones as one per client.
    if (now != self->runtime->lastSweep) {
        self->runtime->lastSweep = now;
        self->sweepIdleContexts(now);
    }
    self->stats->pxyreq += 1;

    // The peer address is the one accept reported: asking again would cost a
    // system call per client.
    UniqueSocket client(fd);
    if (!peer || peerLength < static_cast<int>(sizeof(sockaddr_in)) || peer->sa_family != AF_INET) {
        logProxy.error("new local client context failed");
        return;
    }
    if (self->config.showStatsOnAccept)
        self->dumpStats();
    auto context = std::make_unique<NcmProxyContext>(self);
    context->attachLocal(std::move(client));
    context->start();
    NcmProxyContext* key = context.get();
    self->runtime->contextTable.emplace(key, std::move(context));
}

void NcmProxy::sweepIdleContexts(int64_t now)
{
    std::vector<NcmProxyContext*> idle;
    for (const auto& entry : runtime->contextTable) {
        const int64_t last = entry.first->lastActive();
        if ((now > last ? now - last : last - now) >= config.contextIdleTimeout)
            idle.push_back(entry.first);
    }
    for (NcmProxyContext* context : idle) {
        logProxy.debug("destroy timeout context: %p (%s, %s)", static_cast<void*>(context),
            context->requestHost().c_str(), context->remoteName().c_str());
        auto it = runtime->contextTable.find(context);
        std::unique_ptr<NcmProxyContext> owned = std::move(it->second);
        runtime->contextTable.erase(it);
        owned->close();
    }
}

void NcmProxy::onListenerError(evconnlistener*, void* arg)
{
    NcmProxy* self = static_cast<NcmProxy*>(arg);
    int error = EVUTIL_SOCKET_ERROR();
    if (isLocalResourceError(error)) {
        // Out of descriptors: every exchange goes on, and accepting resumes
        // once some are free again.
        ProxyRuntime& rt = *self->runtime;
        evconnlistener_disable(rt.listener.get());
        if (!rt.acceptPaused) {
            rt.acceptPaused = true;
            logProxy.error("accept paused: error %d (%s)", error, evutil_socket_error_to_string(error));
        }
        self->sweepIdleContexts(Clock::nowSeconds());
        timeval tv { 0, AcceptRetryMs * 1000 };
        event_add(rt.acceptRetryEvent.get(), &tv);
        return;
    }
    logProxy.error(
        "LISTENER ERROR! error %d (%s). stop local proxy.", error, evutil_socket_error_to_string(error));
    event_base_loopexit(self->runtime->eventBase.get(), nullptr);
}

void NcmProxy::onAcceptRetry(evutil_socket_t, short, void* arg)
{
    NcmProxy* self = static_cast<NcmProxy*>(arg);
    if (self->runtime->listener)
        evconnlistener_enable(self->runtime->listener.get());
}

namespace {

void onLingeringClient(evutil_socket_t fd, short flags, void* arg)
{
    auto* client = static_cast<LingeringClient*>(arg);
    bool done = (flags & EV_TIMEOUT) != 0;
    char buffer[16384];
    while (!done) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            continue;
        done = n == 0 || !isTransient(errno);
        break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        client->deadline - std::chrono::steady_clock::now());
    if (done || left.count() <= 0) {
        client->proxy->endLingering(client);
        return;
    }
    timeval tv { static_cast<time_t>(left.count() / 1000000),
        static_cast<suseconds_t>(left.count() % 1000000) };
    event_add(client->event.get(), &tv);
}

} // namespace

void NcmProxy::closeGracefully(UniqueSocket socket)
{
    if (shutdown(socket.get(), SHUT_WR) != 0 || !runtime->reapEvent)
        return; // already reset by the peer, or the loop is ending
    auto client = std::make_unique<LingeringClient>();
    client->proxy = this;
    client->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LingerMs);
    client->event.reset(event_new(eventBase(), socket.get(), EV_READ, &onLingeringClient, client.get()));
    client->socket = std::move(socket);
    if (!client->event)
        return;
    timeval tv { LingerMs / 1000, (LingerMs % 1000) * 1000 };
    event_add(client->event.get(), &tv);
    LingeringClient* key = client.get();
    runtime->lingering.emplace(key, std::move(client));
}

void NcmProxy::endLingering(LingeringClient* client)
{
    auto it = runtime->lingering.find(client);
    if (it == runtime->lingering.end())
        return;
    // Called from the client's own event: free it next turn.
    deferDelete(std::shared_ptr<void>(std::move(it->second)));
    runtime->lingering.erase(it);
}

std::string NcmProxy::statsText()
{
    char proxyPart[256];
    std::snprintf(proxyPart, sizeof proxyPart, "ctxmap=%d", static_cast<int>(runtime->contextTable.size()));
    std::string summary = std::string("[proxy: ") + proxyPart + "] ";
    if (remoteManager)
        summary += "[mgr: " + remoteManager->statsLine() + "] ";
    if (dnsClient)
        summary += "[dns: " + dnsClient->statsLine() + "] ";
    return summary;
}

void NcmProxy::dumpStats()
{
    if (!stats)
        return;
    std::string summary = statsText();
    logProxy.info("stats: {dnsctx=%d, pxyctx=%d, remoteconn=%d} dnsreq=%d, pxyreq=%d, remotesuc=%d, "
                  "remotefail=%d\n\t\t%s",
        stats->dnsctx, stats->pxyctx, stats->remoteconn, stats->dnsreq, stats->pxyreq, stats->remotesuc,
        stats->remotefail, summary.c_str());
}

void NcmProxy::destroyContext(NcmProxyContext* context)
{
    auto it = runtime->contextTable.find(context);
    if (it == runtime->contextTable.end()) {
        // Already taken out of the table (idle sweep, end of the loop): its
        // current owner deletes it.
        logProxy.debug("destroyContext: %p is not in the table", ptr(context));
        return;
    }
    deferDelete(std::shared_ptr<void>(std::move(it->second)));
    runtime->contextTable.erase(it);
    if (config.showStatsOnAccept)
        dumpStats();
}

void NcmProxy::deferDelete(std::shared_ptr<void> object)
{
    runtime->graveyard.push_back(std::move(object));
    if (runtime->reapEvent)
        event_active(runtime->reapEvent.get(), 0, 0);
}

void NcmProxy::onReap(evutil_socket_t, short, void* arg)
{
    static_cast<NcmProxy*>(arg)->reap();
}

void NcmProxy::reap()
{
    // Deleting may retire more objects (a context frees its endpoint).
    while (!runtime->graveyard.empty()) {
        auto batch = std::move(runtime->graveyard);
        runtime->graveyard.clear();
        batch.clear();
    }
}

void NcmProxy::appendReports(const std::vector<std::string>& records)
{
    std::lock_guard<std::mutex> lock(reportLock);
    while (reportQueue.size() > 299)
        reportQueue.pop_front();
    for (const auto& record : records)
        reportQueue.push_back(record);
}

std::string NcmProxy::takeReports()
{
    std::lock_guard<std::mutex> lock(reportLock);
    if (reportQueue.empty())
        return std::string();
    std::string out = "[";
    for (size_t i = 0; i < reportQueue.size(); ++i) {
        if (i)
            out += ",";
        out += reportQueue[i];
    }
    out += "]";
    reportQueue.clear();
    return out;
}
