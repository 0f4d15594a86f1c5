#include "proxy/NcmProxyContext.h"

#include "base/Clock.h"
#include "base/Logger.h"
#include "base/StringUtil.h"
#include "proxy/NcmProxy.h"
#include "proxy/NcmProxyRemoteManager.h"
#include "resolver/NcmDnsClient.h"
#include "transport/NcmConnTcp.h"

#include <event2/http.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

constexpr size_t MaxRequestHead = 16384;
constexpr size_t MaxPendingResponseHead = 8192;
constexpr size_t MaxChunkLine = 32;
const char* const AgentVersion = "2.0";

std::string takeLine(evbuffer* buffer, bool& found)
{
    size_t length = 0;
    char* line = evbuffer_readln(buffer, &length, EVBUFFER_EOL_CRLF_STRICT);
    found = line != nullptr;
    if (!line)
        return std::string();
    std::string text(line, length);
    std::free(line);
    return text;
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

void NcmProxyContext::deleteLocal()
{
    if (!m_local.conn)
        return;
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
        onWritten(true);
    }
}

bool NcmProxyContext::parseLocalRequest()
{
    if (m_phase != Phase::ReadingRequest)
        return true;
    evbuffer* input = m_local.conn->input();
    if (evbuffer_get_length(input) > MaxRequestHead)
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
    if (m_kind == Kind::Unknown || m_kind == Kind::HttpForward || m_kind == Kind::ConnectTunnel)
        parseRequestHead();
    if (m_phase != Phase::Connecting)
        return true;

    const std::string name = buildEndpointName(m_request->host, m_request->port);
    logContext.debug("parseLocalRequest ClientHeaderCompleted, request %s:%s to %s", m_request->host.c_str(),
        m_request->port.c_str(), name.c_str());
    NcmProxyRemoteManager& manager = *m_proxy->remoteManager;
    if (m_kind == Kind::HttpForward) {
        m_remote = manager.acquireEndpointHttp(name, m_request->connectEvent.get());
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

void NcmProxyContext::parseRequestHead()
{
    evbuffer* input = m_local.conn->input();
    unsigned char first = 0;
    if (evbuffer_get_length(input) < 2 || evbuffer_copyout(input, &first, 1) != 1 || first == 5)
        return;
    evbuffer_ptr start;
    evbuffer_ptr_set(input, &start, 1, EVBUFFER_PTR_SET);
    if (evbuffer_search(input, "\r\n\r\n", 4, &start).pos < 0)
        return;

    m_phase = Phase::Connecting;
    bool firstLine = true;
    for (;;) {
        bool found = false;
        std::string line = takeLine(input, found);
        if (!found || line.empty())
            break;
        if (firstLine) {
            parseRequestLine(line);
            firstLine = false;
            continue;
        }
        std::string name, value;
        parseHeaderLine(line, name, value);
        auto it = m_request->headers.find(name);
        if (it != m_request->headers.end())
            it->second += ", " + value;
        else
            m_request->headers.emplace(name, value);
    }
    const std::string& method = m_request->method;
    m_kind
        = method == "CONNECT" ? Kind::ConnectTunnel : (!method.empty() ? Kind::HttpForward : Kind::Unknown);

    // The request body is framed by its own headers; a chunked body is
    // forwarded without a bound.
    for (const auto& header : m_request->headers) {
        if (strcasecmp(header.first.c_str(), "Content-Length") == 0) {
            long long length = std::strtoll(header.second.c_str(), nullptr, 10);
            m_request->requestBodyRemaining = length > 0 ? length : 0;
        } else if (strcasecmp(header.first.c_str(), "Transfer-Encoding") == 0
            && strcasecmp(header.second.c_str(), "identity") != 0) {
            m_request->requestBodyRemaining = -1;
            break;
        }
    }
}

void NcmProxyContext::parseRequestLine(const std::string& line)
{
    std::string tokens[3];
    size_t position = 0;
    for (int i = 0; i < 3 && position <= line.size(); ++i) {
        size_t blank = i < 2 ? line.find(' ', position) : std::string::npos;
        tokens[i] = line.substr(position, blank == std::string::npos ? std::string::npos : blank - position);
        if (blank == std::string::npos)
            break;
        position = blank + 1;
    }
    HttpRequestState& r = *m_request;
    r.method = tokens[0];
    r.target = tokens[1];
    r.version = tokens[2];
    if (r.target.empty())
        return;

    std::string target = r.target;
    if (target[0] == '/') {
        if (!m_proxy->config.allowOriginFormRequests) {
            logContext.error("unhandled http request: %s", target.c_str());
            return;
        }
        target = "http://127.0.0.1" + target;
    }
    if (target.find("://") == std::string::npos && target.find(':') != std::string::npos) {
        size_t colon = target.find(':');
        r.host = target.substr(0, colon);
        r.port = target.substr(colon + 1);
        return;
    }
    evhttp_uri* uri = evhttp_uri_parse_with_flags(target.c_str(), EVHTTP_URI_NONCONFORMANT);
    if (!uri) {
        logContext.error("buggy url in proxy request: %s", target.c_str());
        r.host.clear();
        r.port.clear();
        return;
    }
    const char* scheme = evhttp_uri_get_scheme(uri);
    const char* host = evhttp_uri_get_host(uri);
    r.scheme = scheme ? scheme : "";
    r.host = host ? host : "";
    int port = evhttp_uri_get_port(uri);
    r.port = port >= 0 ? std::to_string(port) : (r.scheme == "https" ? "443" : "80");
    const char* path = evhttp_uri_get_path(uri);
    const char* query = evhttp_uri_get_query(uri);
    const char* fragment = evhttp_uri_get_fragment(uri);
    r.path = path ? path : "";
    if (query)
        r.path += std::string("?") + query;
    if (fragment)
        r.path += std::string("#") + fragment;
    evhttp_uri_free(uri);
}

void NcmProxyContext::parseHeaderLine(const std::string& line, std::string& name, std::string& value)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
        name = line;
        value.clear();
        return;
    }
    name = line.substr(0, colon);
    size_t begin = colon + 1;
    while (begin < line.size() && (line[begin] == ' ' || line[begin] == '\t'))
        ++begin;
    value = line.substr(begin);
}

std::string NcmProxyContext::buildEndpointName(const std::string& host, const std::string& port) const
{
    const ProxyConfig& config = m_proxy->config;
    if (config.kcpEnabled) {
        for (const auto& mapping : config.kcpHostMapping) {
            const std::string& key = mapping.first;
            const std::string& target = mapping.second;
            std::string candidate = key.find(':') != std::string::npos ? host + ":" + port : host;
            candidate = StringUtil::toLower(candidate);
            bool match
                = !key.empty() && key[0] == '.' ? StringUtil::endsWith(candidate, key) : key == candidate;
            if (!match)
                continue;
            if (!target.empty() && target[0] == ':')
                return "kcp:" + host + target;
            return "kcp:" + target;
        }
    }
    return "tcp:" + host + ":" + port;
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
        if (m_kind == Kind::HttpForward)
            sendForwardRequest();
        else if (m_kind == Kind::ConnectTunnel)
            sendConnectEstablished();
        m_phase = Phase::Transferring;
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
        sendGatewayTimeout();
    m_local.conn->requestWrite();
}

void NcmProxyContext::sendForwardRequest()
{
    evbuffer* out = m_remote->conn->output();
    evbuffer_add_printf(out, "%s %s HTTP/1.1\r\n", m_request->method.c_str(), m_request->path.c_str());
    logContext.debug("http forward request: %s", m_request->path.c_str());
    for (const auto& header : m_request->headers) {
        const std::string& name = header.first;
        if (strncasecmp(name.c_str(), "proxy-", 6) == 0 || strcasecmp(name.c_str(), "connection") == 0)
            continue;
        evbuffer_add_printf(out, "%s: %s\r\n", name.c_str(), header.second.c_str());
    }
    evbuffer_add_printf(out, "X-Ncm-Proxy: Skylark/%s\r\n", AgentVersion);
    evbuffer_add(out, "\r\n", 2);
    moveToRemote(out);
    m_remote->conn->requestWrite();
}

void NcmProxyContext::moveToRemote(evbuffer* destination)
{
    evbuffer* input = m_local.conn->input();
    if (m_kind != Kind::HttpForward || m_request->requestBodyRemaining < 0) {
        evbuffer_add_buffer(destination, input);
        return;
    }
    // Only the body of this one request goes upstream: a second request on
    // the same client connection must not reach this upstream.
    const size_t length = evbuffer_get_length(input);
    const size_t allowed = std::min(length, static_cast<size_t>(m_request->requestBodyRemaining));
    evbuffer_remove_buffer(input, destination, allowed);
    m_request->requestBodyRemaining -= static_cast<int64_t>(allowed);
    if (length > allowed)
        evbuffer_drain(input, length - allowed);
}

bool NcmProxyContext::clientMayBeRead() const
{
    return m_kind != Kind::HttpForward || m_request->requestBodyRemaining != 0;
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

void NcmProxyContext::sendGatewayTimeout()
{
    evbuffer* out = m_local.conn->output();
    evbuffer_add_printf(out, "HTTP/1.0 504 Gateway Timeout\r\n");
    evbuffer_add_printf(out, "Proxy-Agent: Skylark/%s\r\n", AgentVersion);
    evbuffer_add(out, "\r\n", 2);
}

void NcmProxyContext::onConnEventRemote(NcmConn* conn, NcmConn::Event event, int32_t error, uint32_t size)
{
    logContext.verbose(
        "onConnEventRemote event=%d, size=%d", static_cast<int>(event), static_cast<int>(size));
    m_lastActive = Clock::nowSeconds();
    if (event == NcmConn::Write) {
        onWritten(false);
    } else if (event == NcmConn::Read) {
        if (error == 0 && size != 0) {
            if (!parseRemoteResponse()) {
                finishTransport("can not parse remote response");
                return;
            }
            transfer(false);
            return;
        }
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

bool NcmProxyContext::parseRemoteResponse()
{
    evbuffer* input = m_remote->conn->input();
    if (!m_request->responseStarted && evbuffer_get_length(input) > 0) {
        m_request->responseStarted = true;
        m_request->headers.clear();
    }
    if (m_kind == Kind::HttpForward && !parseResponseHead(input))
        return false;

    HttpRequestState& r = *m_request;
    // A response is complete only once its head is: a "Content-Length: 0"
    // seen in a partial head must not end the exchange early.
    bool complete = false;
    if (r.headComplete() || m_kind != Kind::HttpForward) {
        if (m_kind == Kind::HttpForward && r.responseBodiless) {
            complete = true;
        } else if (r.framing == ResponseFraming::Chunked && r.chunkSize == 0 && r.chunkTrailerDone) {
            complete = true;
        } else if (r.framing == ResponseFraming::Length
            && r.httpResponseRawContentReceived >= r.httpResponseContentLength) {
            complete = true;
            if (r.httpResponseRawContentReceived > r.httpResponseContentLength)
                logContext.error(
                    "SOMETHING WRONG! httpResponseRawContentReceived=%d > httpResponseContentLength=%d",
                    static_cast<int>(r.httpResponseRawContentReceived),
                    static_cast<int>(r.httpResponseContentLength));
        }
    }
    if (complete)
        m_remote->responseComplete = true;
    return true;
}

bool NcmProxyContext::parseResponseHead(evbuffer* input)
{
    HttpRequestState& r = *m_request;
    if (r.headComplete()) {
        const int count = evbuffer_peek(input, -1, nullptr, nullptr, 0);
        std::vector<evbuffer_iovec> pieces(static_cast<size_t>(count > 0 ? count : 0));
        if (count > 0)
            evbuffer_peek(input, -1, nullptr, pieces.data(), count);
        for (const auto& piece : pieces)
            accountResponseBody(static_cast<const char*>(piece.iov_base), piece.iov_len);
        return true;
    }

    const size_t length = evbuffer_get_length(input);
    const size_t old = r.responseHeadBuffer.size();
    r.responseHeadBuffer.resize(old + length);
    evbuffer_copyout(input, r.responseHeadBuffer.data() + old, length);

    std::vector<char>& head = r.responseHeadBuffer;
    size_t begin = 0;
    for (;;) {
        size_t crlf = std::string::npos;
        for (size_t i = begin; i + 1 < head.size(); ++i) {
            if (head[i] == '\r' && head[i + 1] == '\n') {
                crlf = i;
                break;
            }
        }
        if (crlf == std::string::npos)
            break;
        if (crlf == begin) {
            if (r.responseStatus >= 100 && r.responseStatus < 200 && r.responseStatus != 101) {
                // An interim answer (100 Continue): the real head follows.
                begin = crlf + 2;
                r.responseStatus = 0;
                r.framing = ResponseFraming::None;
                r.httpResponseContentLength = -1;
                continue;
            }
            r.responseBodiless
                = m_request->method == "HEAD" || r.responseStatus == 204 || r.responseStatus == 304;
            // End of the head: what follows is body.
            std::vector<char> body(head.begin() + static_cast<std::ptrdiff_t>(crlf + 2), head.end());
            head.assign(1, '\0');
            begin = 0;
            accountResponseBody(body.data(), body.size());
            return true;
        }
        const std::string line(head.data() + begin, crlf - begin);
        begin = crlf + 2;
        if (StringUtil::startsWith(line, "HTTP/")) {
            size_t blank = line.find(' ');
            r.responseStatus = blank == std::string::npos ? 0 : std::atoi(line.c_str() + blank + 1);
            continue;
        }
        std::string name, value;
        parseHeaderLine(line, name, value);
        if (strcasecmp(name.c_str(), "Content-Length") == 0) {
            r.httpResponseContentLength = std::strtoll(value.c_str(), nullptr, 10);
            if (r.httpResponseContentLength >= 0)
                r.framing = ResponseFraming::Length;
        } else if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0
            && strcasecmp(value.c_str(), "chunked") == 0) {
            r.framing = ResponseFraming::Chunked;
        } else if (strcasecmp(name.c_str(), "Connection") == 0 && strcasecmp(value.c_str(), "close") == 0) {
            r.framing = ResponseFraming::CloseDelimited;
        }
    }
    head.erase(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(begin));
    return head.size() <= MaxPendingResponseHead;
}

void NcmProxyContext::accountResponseBody(const char* data, size_t length)
{
    HttpRequestState& r = *m_request;
    r.httpResponseRawContentReceived += static_cast<int64_t>(length);
    size_t i = 0;
    while (r.framing == ResponseFraming::Chunked && i < length && !r.chunkTrailerDone) {
        if (r.chunkRemaining == -1) {
            // A size line, or after the last chunk a trailer line; an empty
            // trailer line ends the message.
            const char c = data[i++];
            r.chunkLineBuffer += c;
            if (c == '\n') {
                if (r.chunkSize == 0) {
                    if (r.chunkLineBuffer == "\r\n" || r.chunkLineBuffer == "\n")
                        r.chunkTrailerDone = true;
                } else {
                    r.chunkSize = std::strtoll(r.chunkLineBuffer.c_str(), nullptr, 16);
                    if (r.chunkSize < 0)
                        r.chunkSize = 0;
                    if (r.chunkSize > 0)
                        r.chunkRemaining = r.chunkSize + 2;
                }
                r.chunkLineBuffer.clear();
            } else if (r.chunkLineBuffer.size()
                >= (r.chunkSize == 0 ? MaxPendingResponseHead : MaxChunkLine)) {
                logContext.error("SOMETHING WRONG! can not parse chunked response");
                r.framing = ResponseFraming::None;
            }
            continue;
        }
        const size_t left = length - i;
        if (left < static_cast<size_t>(r.chunkRemaining)) {
            r.chunkRemaining -= static_cast<int64_t>(left);
            return;
        }
        i += static_cast<size_t>(r.chunkRemaining);
        r.chunkRemaining = -1;
    }
}

void NcmProxyContext::transfer(bool fromLocal)
{
    Side self = fromLocal ? localSide() : remoteSide();
    Side other = fromLocal ? remoteSide() : localSide();
    if (!other.exists() || *other.responseComplete || other.conn->isClosed()) {
        finishTransport("peer not open but self has unread transferring data");
        return;
    }
    bool rearm = false;
    if (self.exists() && !self.conn->isClosed() && !*self.responseComplete) {
        if (other.conn->outputSpace() <= 0)
            return; // paused until the other side has written
        rearm = true;
    }
    if (fromLocal)
        moveToRemote(other.conn->output());
    else
        evbuffer_add_buffer(other.conn->output(), self.conn->input());
    other.conn->requestWrite();
    if (rearm && (!fromLocal || clientMayBeRead()))
        self.conn->requestRead();
}

void NcmProxyContext::onWritten(bool localWrote)
{
    Side self = localWrote ? localSide() : remoteSide();
    Side other = localWrote ? remoteSide() : localSide();
    if (!self.exists())
        return;
    if (other.exists() && !*other.responseComplete && !other.conn->isClosed()) {
        if (localWrote)
            evbuffer_add_buffer(self.conn->output(), other.conn->input());
        else
            moveToRemote(self.conn->output());
        if (self.conn->outputLength() != 0)
            self.conn->requestWrite();
        if (localWrote || clientMayBeRead())
            other.conn->requestRead();
        return;
    }
    if (self.conn->isOutputDrained()) {
        finishTransport("remaining data write over");
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
    if (localEnded)
        moveToRemote(other.conn->output());
    else
        evbuffer_add_buffer(other.conn->output(), self.conn->input());
    other.conn->requestWrite();
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
        if (m_proxy->dnsClient)
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
    if (m_kind == Kind::HttpForward && m_remote) {
        // Only an upstream whose response is complete can serve another request.
        if (m_remote->responseComplete && m_remote->conn && !m_remote->conn->isClosed())
            manager.releaseHttp(m_remote);
        else
            manager.freeEndpoint(m_remote);
        m_remote = nullptr;
    }
    if (m_remote) {
        manager.freeEndpoint(m_remote);
        m_remote = nullptr;
    }
    deleteLocal();
    m_proxy->destroyContext(this);
}
