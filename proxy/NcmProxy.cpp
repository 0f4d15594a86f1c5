#include "proxy/NcmProxy.h"

#include "proxy/Clock.h"
#include "proxy/Logger.h"

#include <event2/thread.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

void proxyGlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        buildLevelRankTable();
        // The controlling thread breaks the loop from outside.
        evthread_use_pthreads();
    });
}

NcmProxy::NcmProxy()
    : runtime(std::make_unique<ProxyRuntime>()), rng(static_cast<uint32_t>(std::time(nullptr)))
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
    if (!runtime->eventBase)
        runtime->eventBase.reset(event_base_new());
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
    runtime->listener.reset(evconnlistener_new_bind(
        runtime->eventBase.get(), &NcmProxy::onAccept, this,
        LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE, -1,
        reinterpret_cast<sockaddr*>(&address), sizeof address));
    int bindError = errno;
    if (runtime->listener) {
        evconnlistener_set_error_cb(runtime->listener.get(), &NcmProxy::onListenerError);
        sockaddr_storage bound;
        socklen_t length = sizeof bound;
        if (getsockname(evconnlistener_get_fd(runtime->listener.get()), reinterpret_cast<sockaddr*>(&bound),
                        &length) == 0
            && bound.ss_family == AF_INET) {
            runtime->port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        }
    }

    if (runtime->listener && runtime->port > 0) {
        logProxy.debug("local proxy is listening at %d", runtime->port.load());
        localIpStack = ELocalIPStack_None;
        ipv6Only = false;
        nat64Known = false;
        std::memset(nat64Address, 0, sizeof nat64Address);
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

    logProxy.error("local proxy failed. errno=%d, err=%s", bindError, evutil_socket_error_to_string(bindError));
    // Unlike a running service, a failed one keeps nothing: a later
    // activation tries to bind again.
    runtime->listener.reset();
    runtime->port = -1;
    stats.reset();
}

void NcmProxy::loopMain()
{
    event_base_loop(runtime->eventBase.get(), 0);
    logProxy.debug("event loop over");
    deactivate();
    runtime->loopDone = true;
}

void NcmProxy::deactivate()
{
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

void NcmProxy::onAccept(evconnlistener*, evutil_socket_t fd, sockaddr*, int, void* arg)
{
    NcmProxy* self = static_cast<NcmProxy*>(arg);
    self->lastAcceptTime = Clock::nowSeconds();
    self->stats->pxyreq += 1;
    // Interim: contexts do not exist yet, so every client is closed at once.
    evutil_closesocket(fd);
}

void NcmProxy::onListenerError(evconnlistener*, void* arg)
{
    NcmProxy* self = static_cast<NcmProxy*>(arg);
    int error = EVUTIL_SOCKET_ERROR();
    logProxy.error("LISTENER ERROR! error %d (%s). stop local proxy.", error, evutil_socket_error_to_string(error));
    event_base_loopexit(self->runtime->eventBase.get(), nullptr);
}

std::string NcmProxy::statsText()
{
    char proxyPart[256];
    std::snprintf(proxyPart, sizeof proxyPart, "ctxmap=%d", static_cast<int>(runtime->contextTable.size()));
    std::string summary = std::string("[proxy: ") + proxyPart + "] ";
    return summary;
}

void NcmProxy::dumpStats()
{
    if (!stats)
        return;
    std::string summary = statsText();
    logProxy.info("stats: {dnsctx=%d, pxyctx=%d, remoteconn=%d} dnsreq=%d, pxyreq=%d, remotesuc=%d, "
                  "remotefail=%d\n\t\t%s",
                  stats->dnsctx, stats->pxyctx, stats->remoteconn, stats->dnsreq, stats->pxyreq,
                  stats->remotesuc, stats->remotefail, summary.c_str());
}

void NcmProxy::destroyContext(NcmProxyContext*) {}

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
