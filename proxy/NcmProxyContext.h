#pragma once
#include "base/EventPtr.h"
#include "base/UniqueSocket.h"
#include "proxy/HttpMessage.h"
#include "transport/NcmConn.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class NcmProxy;
class NcmConnTcp;
struct NcmProxyEndpointRemote;

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
    enum class Phase { ReadingRequest, Connecting, Transferring, Refused };
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
    bool parseRequestHead();
    void onRemoteConnected(bool ok);
    void sendForwardRequest();
    void sendConnectEstablished();
    void sendAnswer(const char* statusLine);
    bool moveToLocal();
    void transfer(bool fromLocal);
    bool moveToRemote(evbuffer* destination);
    bool clientMayBeRead() const;
    void onPeerClosed(bool localEnded);
    void onWritten(bool localWrote, int32_t error, uint32_t written);
    bool handleBrokenRemoteConnection();
    bool retryOnFreshUpstream();
    std::string origin() const;
    void finishTransport(const char* message);
    void deleteLocal(bool clientDone = false);
    size_t readRoom(bool fromLocal, size_t want);
    bool uploadPending() const;

    NcmProxy* m_proxy;
    int64_t m_lastActive;
    Phase m_phase = Phase::ReadingRequest;
    Kind m_kind = Kind::Unknown;
    std::unique_ptr<HttpRequestState> m_request;
    std::unique_ptr<HttpResponseFramer> m_framer;
    LocalEnd m_local;
    NcmProxyEndpointRemote* m_remote = nullptr;
    bool m_finished = false;
    bool m_responseStarted = false;
    bool m_upstreamWriteFailed = false;
    bool m_clientCloses = false; // the request carried the close option
    // Safe to send twice (idempotent, no body): only such a request takes
    // a pooled upstream, which may have ended just as the request left.
    bool m_mayReuse = false;
    uint32_t m_readBase = 0; // the upstream's bytesRead when this request went out
    // Read by the connections' read bounds, which may outlive this context.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
