#include "proxy/NcmProxyContext.h"

#include "base/Clock.h"
#include "base/Logger.h"
#include "base/SocketUtil.h"
#include "base/StringUtil.h"
#include "proxy/NcmProxy.h"
#include "proxy/NcmProxyRemoteManager.h"
#include "resolver/NcmDnsClient.h"
#include "transport/NcmConnTcp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

constexpr size_t MaxRequestHead = 16384;
const char* const AgentVersion = "2.0";

// One read may bring the head together with the start of the body: only a
// head that does not end within the limit is too long.
bool headEndsWithin(evbuffer* input, size_t limit)
{
    evbuffer_ptr end;
    evbuffer_ptr_set(input, &end, limit, EVBUFFER_PTR_SET);
    return evbuffer_search_range(input, "\r\n\r\n", 4, nullptr, &end).pos >= 0;
}

} // namespace

NcmProxyContext::NcmProxyContext(NcmProxy* proxy)
    : m_proxy(proxy)
    , m_lastActive(Clock::nowSeconds())
{
    m_proxy->stats->pxyctx += 1;
}

NcmProxyContext::~NcmProxyContext()
{
    *m_alive = false;
    if (m_proxy->stats)
        m_proxy->stats->pxyctx -= 1;
    if (m_local.conn || m_remote)
        logContext.error("context not closed properly, memory leaks");
}

std::string NcmProxyContext::requestHost() const
{
    return m_request ? m_request->host : std::string();
}

std::string NcmProxyContext::remoteName() const
{
    return m_remote ? m_remote->name : std::string("no remote");
}

NcmProxyContext::Side NcmProxyContext::localSide()
{
    return Side { &m_local.responseComplete, m_local.conn.get() };
}

NcmProxyContext::Side NcmProxyContext::remoteSide()
{
    if (!m_remote)
        return Side {};
    return Side { &m_remote->responseComplete, m_remote->conn.get() };
}

void NcmProxyContext::attachLocal(UniqueSocket client)
{
    m_local.conn = std::make_unique<NcmConnTcp>(m_proxy->eventBase());
    m_local.conn->attachSocket(std::move(client));
    m_local.conn->setEventCallback([this](NcmConn* conn, NcmConn::Event event, int32_t error, uint32_t size) {
        onConnEventLocal(conn, event, error, size);
    });
}

void NcmProxyContext::start()
{
    if (m_remote)
        logContext.error("SOMETHING WRONG! an old remoteConnection exists");
    m_lastActive = Clock::nowSeconds();
    m_phase = Phase::ReadingRequest;
    m_kind = Kind::Unknown;
    m_request = std::make_unique<HttpRequestState>();
    m_request->connectEvent.reset(
        event_new(m_proxy->eventBase(), -1, 0, &NcmProxyContext::onConnectEvent, this));
    if (m_local.conn)
        m_local.conn->requestRead();
}

void NcmProxyContext::close()
{
    if (m_request && m_request->connectEvent)
        event_del(m_request->connectEvent.get());
    if (m_remote) {
        m_proxy->remoteManager->freeEndpoint(m_remote);
        m_remote = nullptr;
    }
    deleteLocal();
}

void NcmProxyContext::deleteLocal(bool clientDone)
{
    if (!m_local.conn)
        return;
    // Unread upload bytes would turn a plain close into a reset that
    // destroys the answer the client is still reading. A client that had
    // its whole answer, sent its whole request and promised nothing more
    // leaves nothing unread: it is closed at once. One that sent more
    // anyway has it waiting in the kernel, and gets the lingering close.
    clientDone = clientDone && m_local.conn->inputLength() == 0 && m_local.conn->outputLength() == 0
        && m_local.conn->unreadInKernel() == 0;
    UniqueSocket socket = m_local.conn->releaseSocket();
    if (socket.valid() && !clientDone)
        m_proxy->closeGracefully(std::move(socket));
    // May run inside the connection's own callback: close now, delete later.
    m_local.conn->close();
    m_proxy->deferDelete(std::shared_ptr<void>(std::move(m_local.conn)));
}

void NcmProxyContext::onConnEventLocal(NcmConn* conn, NcmConn::Event event, int32_t error, uint32_t size)
{
    logContext.verbose("onConnEventLocal event=%d, size=%d", static_cast<int>(event), static_cast<int>(size));
    m_lastActive = Clock::nowSeconds();
    if (event == NcmConn::Read) {
        if (error == 0 && size != 0) {
            m_proxy->lastAcceptTime = Clock::nowSeconds();
            if (!parseLocalRequest()) {
                finishTransport("can not parse local request");
                return;
            }
            if (m_finished)
                return;
            if (m_phase == Phase::ReadingRequest)
                m_local.conn->requestRead();
            else if (m_phase == Phase::Transferring)
                transfer(true);
            return;
        }
        conn->close();
        onPeerClosed(true);
    } else if (event == NcmConn::Write) {
        onWritten(true, error, size);
    }
}

bool NcmProxyContext::parseLocalRequest()
{
    if (m_phase != Phase::ReadingRequest)
        return true;
    evbuffer* input = m_local.conn->input();
    if (evbuffer_get_length(input) > MaxRequestHead && !headEndsWithin(input, MaxRequestHead))
        return false;

    if (m_kind == Kind::Unknown || m_kind == Kind::Socks5) {
        unsigned char first[2];
        size_t length = evbuffer_get_length(input);
        if (length >= 2 && evbuffer_copyout(input, first, 2) == 2 && first[0] == 5)
            m_kind = Kind::Socks5;
        if (m_kind == Kind::Socks5) {
            // Recognised only to refuse it: no SOCKS5 reply is ever sent.
            if (!m_request->socks5GreetingSeen && length >= 2
                && length >= static_cast<size_t>(first[1]) + 2) {
                m_request->socks5GreetingSeen = 1;
                evbuffer_drain(input, static_cast<size_t>(first[1]) + 2);
                logContext.error("socks5 not implemented: send socks5 auth ....");
            }
            if (m_request->socks5GreetingSeen && evbuffer_get_length(input) >= 2) {
                logContext.error("socks5 not implemented: read socks5 req ....");
                m_phase = Phase::Connecting;
            }
        }
    }
    if ((m_kind == Kind::Unknown || m_kind == Kind::HttpForward || m_kind == Kind::ConnectTunnel)
        && !parseRequestHead()) {
        logContext.error("bad request from the client");
        m_phase = Phase::Refused;
        sendAnswer("HTTP/1.0 400 Bad Request\r\n");
        m_local.conn->requestWrite();
        return true;
    }
    if (m_phase != Phase::Connecting)
        return true;

    const std::string name = buildEndpointName(m_request->host, m_request->port);
    logContext.debug("parseLocalRequest ClientHeaderCompleted, request %s:%s to %s", m_request->host.c_str(),
        m_request->port.c_str(), name.c_str());
    NcmProxyRemoteManager& manager = *m_proxy->remoteManager;
    if (m_kind == Kind::HttpForward) {
        m_remote = m_mayReuse ? manager.acquireEndpointHttp(name, origin(), m_request->connectEvent.get())
                              : manager.newEndpoint(name, m_request->connectEvent.get(), origin());
        if (m_remote->conn)
            onRemoteConnected(true);
        else
            manager.openConn(m_remote);
    } else if (m_kind == Kind::ConnectTunnel) {
        m_remote = manager.newEndpoint(name, m_request->connectEvent.get());
        manager.openConn(m_remote);
    } else {
        return false;
    }
    return true;
}

bool NcmProxyContext::parseRequestHead()
{
    evbuffer* input = m_local.conn->input();
    unsigned char first = 0;
    if (evbuffer_get_length(input) < 2 || evbuffer_copyout(input, &first, 1) != 1 || first == 5)
        return true;
    evbuffer_ptr start;
    evbuffer_ptr_set(input, &start, 1, EVBUFFER_PTR_SET);
    const evbuffer_ptr end = evbuffer_search(input, "\r\n\r\n", 4, &start);
    if (end.pos < 0)
        return true;

    m_phase = Phase::Connecting;
    std::string head(static_cast<size_t>(end.pos) + 4, '\0');
    evbuffer_remove(input, &head[0], head.size());
    if (::parseRequestHead(head, m_proxy->config.allowOriginFormRequests, *m_request)
        != RequestHeadResult::Ok)
        return false;
    const std::string& method = m_request->method;
    m_kind
        = method == "CONNECT" ? Kind::ConnectTunnel : (!method.empty() ? Kind::HttpForward : Kind::Unknown);
    m_clientCloses = m_kind == Kind::HttpForward && clientClosesAfter(*m_request);
    m_mayReuse = m_kind == Kind::HttpForward && (method == "GET" || method == "HEAD" || method == "OPTIONS")
        && !m_request->requestChunked && m_request->requestBodyRemaining == 0;
    return true;
}

std::string NcmProxyContext::origin() const
{
    return m_request->host + ":" + m_request->port;
}

std::string NcmProxyContext::buildEndpointName(const std::string& host, const std::string& port) const
{
    return ::buildEndpointName(m_proxy->config, host, port);
}

void NcmProxyContext::onConnectEvent(evutil_socket_t, short flags, void* arg)
{
    auto* self = static_cast<NcmProxyContext*>(arg);
    if (self->m_finished)
        return;
    self->onRemoteConnected((flags & EV_WRITE) != 0);
}

void NcmProxyContext::onRemoteConnected(bool ok)
{
    if (ok && m_remote && m_remote->conn) {
        m_remote->conn->setEventCallback([this](NcmConn* conn, NcmConn::Event event, int32_t error,
                                             uint32_t size) { onConnEventRemote(conn, event, error, size); });
        m_readBase = m_remote->conn->bytesRead();
        for (bool fromLocal : { true, false }) {
            NcmConn* conn = fromLocal ? static_cast<NcmConn*>(m_local.conn.get()) : m_remote->conn.get();
            conn->setReadRoom([this, alive = m_alive, fromLocal](
                                  size_t want) { return *alive ? readRoom(fromLocal, want) : want; });
        }
        if (m_kind == Kind::HttpForward)
            sendForwardRequest();
        else if (m_kind == Kind::ConnectTunnel)
            sendConnectEstablished();
        if (m_finished)
            return;
        m_phase = Phase::Transferring;
        // A client that sent its whole request and promised nothing more
        // has nothing to be read.
        if (clientMayBeRead() || !m_clientCloses)
            m_local.conn->requestRead();
        m_local.conn->requestWrite();
        m_remote->conn->requestRead();
        m_remote->conn->requestWrite();
        return;
    }
    if (handleBrokenRemoteConnection())
        return;
    if (m_remote) {
        m_proxy->remoteManager->freeEndpoint(m_remote);
        m_remote = nullptr;
    }
    if (!m_local.conn || m_local.conn->isClosed()) {
        finishTransport("client gone before the upstream answered");
        return;
    }
    if (m_kind == Kind::HttpForward || m_kind == Kind::ConnectTunnel)
        sendAnswer("HTTP/1.0 504 Gateway Timeout\r\n");
    m_local.conn->requestWrite();
}

void NcmProxyContext::sendForwardRequest()
{
    evbuffer* out = m_remote->conn->output();
    const std::string head = forwardRequestHead(*m_request);
    evbuffer_add(out, head.data(), head.size());
    logContext.debug("http forward request: %s", m_request->path.c_str());
    m_framer = std::make_unique<HttpResponseFramer>(m_request->method == "HEAD");
    if (!moveToRemote(out)) {
        finishTransport("can not parse request body");
        return;
    }
    m_remote->conn->requestWrite();
}

bool NcmProxyContext::moveToRemote(evbuffer* destination)
{
    evbuffer* input = m_local.conn->input();
    const size_t length = evbuffer_get_length(input);
    if (m_upstreamWriteFailed) {
        evbuffer_drain(input, length);
        return true;
    }
    if (m_kind != Kind::HttpForward) {
        evbuffer_add_buffer(destination, input);
        return true;
    }
    // Only the body of this one request goes upstream: a second request on
    // the same client connection must not reach this upstream.
    const int count = evbuffer_peek(input, -1, nullptr, nullptr, 0);
    std::vector<evbuffer_iovec> pieces(static_cast<size_t>(std::max(count, 0)));
    evbuffer_peek(input, -1, nullptr, pieces.data(), count);
    size_t body = 0;
    for (const evbuffer_iovec& piece : pieces) {
        size_t used = 0;
        if (!takeRequestBody(*m_request, static_cast<const char*>(piece.iov_base), piece.iov_len, used))
            return false;
        body += used;
        if (used < piece.iov_len)
            break;
    }
    if (body == length) {
        evbuffer_add_buffer(destination, input);
        return true;
    }
    evbuffer_remove_buffer(input, destination, body);
    evbuffer_drain(input, length - body);
    return true;
}

size_t NcmProxyContext::readRoom(bool fromLocal, size_t want)
{
    Side other = fromLocal ? remoteSide() : localSide();
    if (!other.exists() || other.conn->isClosed())
        return want;
    if (other.conn->outputLength() != 0)
        return static_cast<size_t>(std::max(other.conn->outputSpace(), 0));
    // An empty output: a large read goes on at once only as far as the
    // kernel takes it; the rest would wait here for as long as the far end
    // stalls.
    constexpr size_t mark = NcmConn::OutputHighWater;
    if (want <= mark)
        return want;
    const size_t below = other.conn->roomBelow();
    return below >= want ? want : std::max(below, mark);
}

bool NcmProxyContext::uploadPending() const
{
    // An answer may come before the body is sent: the body still goes out
    // whole, for the upstream may read it after answering.
    return m_kind == Kind::HttpForward && m_remote && m_remote->conn && !m_remote->conn->isClosed()
        && !m_upstreamWriteFailed
        && (!requestBodyComplete(*m_request) || m_remote->conn->outputLength() != 0);
}

bool NcmProxyContext::clientMayBeRead() const
{
    if (m_upstreamWriteFailed)
        return false;
    return m_kind != Kind::HttpForward || !requestBodyComplete(*m_request);
}

void NcmProxyContext::sendConnectEstablished()
{
    logContext.debug("http transparent request: %s", m_request->host.c_str());
    evbuffer* out = m_local.conn->output();
    evbuffer_add_printf(out, "HTTP/1.0 200 Connection established\r\n");
    evbuffer_add_printf(out, "Proxy-Agent: Skylark/%s\r\n", AgentVersion);
    evbuffer_add(out, "\r\n", 2);
    m_local.conn->requestWrite();
}

void NcmProxyContext::sendAnswer(const char* statusLine)
{
    evbuffer* out = m_local.conn->output();
    evbuffer_add_printf(out, "%s", statusLine);
    evbuffer_add_printf(out, "Proxy-Agent: Skylark/%s\r\n", AgentVersion);
    evbuffer_add(out, "\r\n", 2);
}

void NcmProxyContext::onConnEventRemote(NcmConn* conn, NcmConn::Event event, int32_t error, uint32_t size)
{
    logContext.verbose(
        "onConnEventRemote event=%d, size=%d", static_cast<int>(event), static_cast<int>(size));
    m_lastActive = Clock::nowSeconds();
    if (event == NcmConn::Write) {
        onWritten(false, error, size);
    } else if (event == NcmConn::Read) {
        if (error == 0 && size != 0) {
            transfer(false);
            return;
        }
        if (retryOnFreshUpstream())
            return;
        if (conn->bytesRead() != 0) {
            conn->close();
            onPeerClosed(false);
            return;
        }
        if (m_proxy->dnsClient)
            m_proxy->dnsClient->discardUnusableIp(m_remote->host, m_remote->ip);
        finishTransport("no response from remote");
    }
}

bool NcmProxyContext::moveToLocal()
{
    evbuffer* input = m_remote->conn->input();
    evbuffer* output = m_local.conn->output();
    if (evbuffer_get_length(input) > 0 && !m_responseStarted) {
        m_responseStarted = true;
        m_request->headers.clear();
    }
    if (m_kind != Kind::HttpForward || !m_framer) {
        evbuffer_add_buffer(output, input);
        return true;
    }
    // Counted as the bytes move: whatever path moves them, the framing
    // sees every byte exactly once.
    if (!m_framer->move(input, output)) {
        if (m_local.conn->anythingSent()) {
            finishTransport("can not parse remote response");
            return false;
        }
        // Nothing of the answer has reached the client (what is queued for
        // it goes): it learns why, and the upstream that sent it is not kept.
        logContext.error("bad response from the upstream");
        evbuffer_drain(output, evbuffer_get_length(output));
        m_proxy->remoteManager->freeEndpoint(m_remote);
        m_remote = nullptr;
        m_phase = Phase::Refused;
        sendAnswer("HTTP/1.0 502 Bad Gateway\r\n");
        m_local.conn->requestWrite();
        return false;
    }
    if (m_framer->complete()) {
        m_remote->responseComplete = true;
        // The client is closed once this answer is out, unless its upload
        // still has to go.
        if (!uploadPending())
            m_local.conn->markLastOutput();
    }
    return true;
}

void NcmProxyContext::transfer(bool fromLocal)
{
    Side self = fromLocal ? localSide() : remoteSide();
    Side other = fromLocal ? remoteSide() : localSide();
    if (!other.exists() || (*other.responseComplete && !(fromLocal && uploadPending()))
        || other.conn->isClosed()) {
        finishTransport("peer not open but self has unread transferring data");
        return;
    }
    bool rearm = false;
    if (self.exists() && !self.conn->isClosed() && !*self.responseComplete) {
        if (other.conn->outputSpace() <= 0)
            return; // paused until the other side has written
        rearm = true;
    }
    if (fromLocal) {
        if (!moveToRemote(other.conn->output())) {
            finishTransport("can not parse request body");
            return;
        }
    } else if (!moveToLocal()) {
        return;
    }
    other.conn->requestWrite();
    if (rearm && !*self.responseComplete && (!fromLocal || clientMayBeRead()))
        self.conn->requestRead();
}

void NcmProxyContext::onWritten(bool localWrote, int32_t error, uint32_t written)
{
    Side self = localWrote ? localSide() : remoteSide();
    Side other = localWrote ? remoteSide() : localSide();
    if (!self.exists())
        return;
    if (error != 0) {
        // That side is gone: nothing more can reach it.
        logContext.debug("write to the %s failed: %d", localWrote ? "client" : "upstream", error);
        if (localWrote) {
            finishTransport("client write failed");
            return;
        }
        // The upstream may still answer: only the upload ends.
        m_upstreamWriteFailed = true;
        evbuffer_drain(self.conn->output(), self.conn->outputLength());
        // An answer already out waited only for the upload.
        if (*self.responseComplete && other.exists() && other.conn->outputLength() == 0)
            finishTransport("upload ended after the answer");
        return;
    }
    if (other.exists() && !*other.responseComplete && !other.conn->isClosed()) {
        const size_t queued = self.conn->outputLength();
        if (localWrote) {
            if (!moveToLocal())
                return;
        } else if (!moveToRemote(self.conn->output())) {
            finishTransport("can not parse request body");
            return;
        }
        // Asked again only after progress: a Write for nothing, answered by
        // another request, would keep the loop from ever polling again.
        if (self.conn->outputLength() != 0 && (written != 0 || self.conn->outputLength() != queued))
            self.conn->requestWrite();
        if (localWrote ? !*other.responseComplete : clientMayBeRead())
            other.conn->requestRead();
        if (!localWrote && *self.responseComplete && !uploadPending() && other.conn->outputLength() == 0) {
            finishTransport("upload over after the answer");
            return;
        }
        if (!localWrote || !*other.responseComplete || self.conn->outputLength() != 0)
            return;
    }
    if (self.conn->isOutputDrained()) {
        if (!uploadPending()) {
            finishTransport("remaining data write over");
            return;
        }
        if (clientMayBeRead() && m_remote->conn->outputSpace() > 0)
            self.conn->requestRead();
        return;
    }
    // Not drained yet: ask to hear again once everything is out, so that the
    // client is not left waiting for the end of a complete response.
    if (!self.conn->isClosed())
        self.conn->requestDrain();
}

void NcmProxyContext::onPeerClosed(bool localEnded)
{
    Side self = localEnded ? localSide() : remoteSide();
    Side other = localEnded ? remoteSide() : localSide();
    if (!self.exists() || !other.exists()) {
        finishTransport("no remote connection");
        return;
    }
    if (*other.responseComplete || other.conn->isClosed()) {
        finishTransport("both closed");
        return;
    }
    if (localEnded) {
        if (!moveToRemote(other.conn->output())) {
            finishTransport("can not parse request body");
            return;
        }
    } else if (!moveToLocal()) {
        return;
    }
    other.conn->requestWrite();
}

bool NcmProxyContext::retryOnFreshUpstream()
{
    if (!m_remote || !m_remote->reused || !m_remote->conn || m_remote->conn->bytesRead() != m_readBase
        || m_responseStarted || !m_local.conn || m_local.conn->isClosed())
        return false;
    // Nothing of this request was answered and it may be sent again: the
    // upstream likely ended while idle, just as it left. A fresh one is
    // never reused, so this happens once.
    logContext.debug("reused upstream %p for %s ended unanswered, once more on a fresh one", ptr(m_remote),
        m_remote->poolKey.c_str());
    NcmProxyRemoteManager& manager = *m_proxy->remoteManager;
    const std::string name = m_remote->name;
    manager.freeEndpoint(m_remote);
    m_remote = manager.newEndpoint(name, m_request->connectEvent.get(), origin());
    m_phase = Phase::Connecting;
    m_framer.reset();
    manager.openConn(m_remote);
    return true;
}

bool NcmProxyContext::handleBrokenRemoteConnection()
{
    m_phase = Phase::Connecting;
    if (!m_remote)
        return false;
    NcmProxyRemoteManager& manager = *m_proxy->remoteManager;
    logContext.debug("handleBrokenRemoteConnection %p for %s", ptr(m_remote), m_remote->name.c_str());
    manager.closeConn(m_remote);
    if (m_remote->retryCount < 2 && m_local.conn && !m_local.conn->isClosed()) {
        m_remote->retryCount += 1;
        // Out of descriptors here says nothing about the address.
        if (m_proxy->dnsClient && !isLocalResourceError(m_remote->connectError))
            m_proxy->dnsClient->discardUnusableIp(m_remote->host, m_remote->ip);
        m_remote->ip.clear();
        m_remote->name = buildEndpointName(m_request->host, m_request->port);
        manager.openConn(m_remote);
        return true;
    }
    logContext.debug(
        "handleBrokenRemoteConnection %p for %s too many times, stop", ptr(m_remote), m_remote->name.c_str());
    return false;
}

void NcmProxyContext::finishTransport(const char* message)
{
    if (m_finished)
        return;
    m_finished = true;
    logContext.debug(
        "finishTransport: host=%s, msg=%s", m_request ? m_request->host.c_str() : "unknown", message);
    if (m_request && m_request->connectEvent)
        event_del(m_request->connectEvent.get());
    NcmProxyRemoteManager& manager = *m_proxy->remoteManager;
    const bool answered = m_kind == Kind::HttpForward && m_remote && m_remote->responseComplete;
    // The client first: the last bytes of its answer leave with its close.
    deleteLocal(answered && m_clientCloses && requestBodyComplete(*m_request));
    if (m_kind == Kind::HttpForward && m_remote) {
        // Only an upstream whose response is complete can serve another
        // request, and only one that got the whole request and framed its
        // answer itself, with no close: else the next request would be read
        // as part of this one, or sent into a closing connection.
        if (m_remote->responseComplete && m_remote->conn && !m_remote->conn->isClosed()) {
            const bool reusable = m_framer && m_framer->reusable() && requestBodyComplete(*m_request)
                && !m_upstreamWriteFailed && m_remote->conn->outputLength() == 0;
            // Its answer ended where its framing said, the request went out
            // whole and the kernel holds nothing either way (every byte sent
            // acknowledged, none unread): if it is closed now rather than
            // pooled, nothing is in flight, so a reset spares both ends the
            // closing handshake and this end a port held for minutes.
            auto* tcp = m_remote->type == "tcp" ? static_cast<NcmConnTcp*>(m_remote->conn.get()) : nullptr;
            if (m_proxy->config.keepAliveDisabled && tcp && tcp->outputLength() == 0
                && requestBodyComplete(*m_request) && tcp->unackedInKernel() == 0
                && tcp->unreadInKernel() == 0)
                tcp->resetOnClose();
            if (reusable)
                manager.releaseHttp(m_remote);
            else
                manager.freeEndpoint(m_remote);
        } else
            manager.freeEndpoint(m_remote);
        m_remote = nullptr;
    }
    if (m_remote) {
        manager.freeEndpoint(m_remote);
        m_remote = nullptr;
    }
    m_proxy->destroyContext(this);
}
