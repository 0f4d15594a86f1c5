#pragma once
#include "base/EventPtr.h"
#include "base/UniqueSocket.h"
#include "transport/NcmConn.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class NcmProxy;
class NcmConnTcp;
struct NcmProxyEndpointRemote;

// How the end of a forwarded response is found.
enum class ResponseFraming {
    None, // not known yet, or no body
    CloseDelimited, // the body runs until the upstream closes
    Length, // Content-Length
    Chunked, // Transfer-Encoding: chunked
};

// What one client asked for, and how far its response has been parsed.
struct HttpRequestState {
    std::string host;
    std::string port;
    int socks5GreetingSeen = 0;
    std::string method;
    std::string scheme;
    std::string target;
    std::string path;
    std::string version;
    // Unparsed part of the response head; a single zero byte once complete.
    std::vector<char> responseHeadBuffer;
    ResponseFraming framing = ResponseFraming::None;
    int64_t httpResponseContentLength = -1;
    int64_t httpResponseRawContentReceived = 0;
    int64_t chunkSize = -1;
    int64_t chunkRemaining = -1;
    std::string chunkLineBuffer;
    bool chunkTrailerDone = false;
    bool responseStarted = false;
    int responseStatus = 0;
    bool responseBodiless = false; // HEAD, 204 and 304 answers end with their head
    // Request body bytes still to forward: -1 while unbounded (chunked).
    // Anything the client sends beyond its one request is not forwarded.
    int64_t requestBodyRemaining = 0;
    std::map<std::string, std::string> headers;
    EventPtr connectEvent;

    bool headComplete() const { return responseHeadBuffer.size() == 1 && responseHeadBuffer[0] == '\0'; }
};

// The client end: same first two members as an upstream endpoint.
struct LocalEnd {
    bool responseComplete = false; // never set for the client side
    std::unique_ptr<NcmConnTcp> conn;
};

// Serves one accepted client connection: reads one proxy request, connects
// upstream through the remote manager, forwards (or tunnels), relays both
// ways with back-pressure, follows the response framing, and ends itself
// through NcmProxy::destroyContext. Event-loop thread only.
class NcmProxyContext {
public:
    enum class Phase { ReadingRequest, Connecting, Transferring };
    enum class Kind { Unknown, Socks5, HttpForward, ConnectTunnel };

    explicit NcmProxyContext(NcmProxy* proxy);
    ~NcmProxyContext();
    NcmProxyContext(const NcmProxyContext&) = delete;
    NcmProxyContext& operator=(const NcmProxyContext&) = delete;

    void attachLocal(UniqueSocket client);
    void start();
    void close();

    int64_t lastActive() const { return m_lastActive; }
    std::string requestHost() const;
    std::string remoteName() const;

    // Exposed for the unit tests of the request and response parsers.
    const HttpRequestState* request() const { return m_request.get(); }
    static void parseHeaderLine(const std::string& line, std::string& name, std::string& value);
    std::string buildEndpointName(const std::string& host, const std::string& port) const;

private:
    struct Side {
        bool* responseComplete = nullptr;
        NcmConn* conn = nullptr;
        bool exists() const { return conn != nullptr; }
    };
    Side localSide();
    Side remoteSide();

    void onConnEventLocal(NcmConn* conn, NcmConn::Event event, int32_t error, uint32_t size);
    void onConnEventRemote(NcmConn* conn, NcmConn::Event event, int32_t error, uint32_t size);
    static void onConnectEvent(evutil_socket_t, short flags, void* arg);

    bool parseLocalRequest();
    void parseRequestHead();
    void parseRequestLine(const std::string& line);
    void onRemoteConnected(bool ok);
    void sendForwardRequest();
    void sendConnectEstablished();
    void sendGatewayTimeout();
    bool parseRemoteResponse();
    bool parseResponseHead(evbuffer* input);
    void accountResponseBody(const char* data, size_t length);
    void transfer(bool fromLocal);
    void moveToRemote(evbuffer* destination);
    bool clientMayBeRead() const;
    void onPeerClosed(bool localEnded);
    void onWritten(bool localWrote);
    bool handleBrokenRemoteConnection();
    void finishTransport(const char* message);
    void deleteLocal();

    NcmProxy* m_proxy;
    int64_t m_lastActive;
    Phase m_phase = Phase::ReadingRequest;
    Kind m_kind = Kind::Unknown;
    std::unique_ptr<HttpRequestState> m_request;
    LocalEnd m_local;
    NcmProxyEndpointRemote* m_remote = nullptr;
    bool m_finished = false;
};
