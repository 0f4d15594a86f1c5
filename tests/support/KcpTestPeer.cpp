#include "tests/support/KcpTestPeer.h"

#include "base/ByteOrder.h"
#include "base/Clock.h"
#include "base/SocketUtil.h"
#include "proxy/NcmProxyRemoteManager.h"

#include <netinet/in.h>
#include <sys/socket.h>

std::unique_ptr<NcmConnKcp> proxyKcpConnection(NcmKcpManager& manager)
{
    using Remote = NcmProxyRemoteManager;
    std::unique_ptr<NcmConnKcp> conn = manager.createConnection();
    conn->setMtu(Remote::KcpMtu);
    conn->setNoDelay(
        Remote::KcpNoDelay, Remote::KcpInterval, Remote::KcpFastResend, Remote::KcpNoCongestionWindow);
    conn->setWindowSize(Remote::KcpSendWindow, Remote::KcpReceiveWindow);
    return conn;
}

KcpTestPeer::KcpTestPeer(event_base* base, const char* host)
    : m_host(host)
{
    std::string error;
    m_socket = bindUdpSocket(std::string(host) + ":0", 4 << 20, error);
    m_port = boundPort(m_socket.get());
    m_readEvent.reset(event_new(
        base, m_socket.get(), EV_READ | EV_PERSIST,
        [](evutil_socket_t, short, void* self) { static_cast<KcpTestPeer*>(self)->handleDatagrams(); },
        this));
    event_add(m_readEvent.get(), nullptr);
    m_timer.reset(event_new(
        base, -1, EV_PERSIST,
        [](evutil_socket_t, short, void* self) { static_cast<KcpTestPeer*>(self)->tick(); }, this));
    timeval tv { 0, 10 * 1000 };
    event_add(m_timer.get(), &tv);
}

void KcpTestPeer::handleDatagrams()
{
    uint8_t buffer[65536];
    for (;;) {
        sockaddr_storage from;
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(
            m_socket.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            break;
        ++m_datagrams;
        if (n >= 4)
            m_seen.insert(readLe32(buffer));
        if (m_dropping || !m_answering)
            continue;
        KcpControlBlockPtr& engine = m_side.kcp;
        if (!engine) {
            if (n < 24)
                continue;
            engine = KcpControlBlock::create(readLe32(buffer), this);
            KcpPair::applySystemSettings(*engine);
            engine->setOutput([](const uint8_t* data, int size, KcpControlBlock*, void* user) {
                auto* self = static_cast<KcpTestPeer*>(user);
                if (!self->m_dropping)
                    ::send(self->m_socket.get(), data, static_cast<size_t>(size), 0);
            });
            ::connect(m_socket.get(), reinterpret_cast<sockaddr*>(&from), length);
            engine->update(Clock::tickCount());
        }
        const bool wasEstablished = engine->isEstablished();
        engine->input(buffer, n);
        if (!wasEstablished && engine->isEstablished())
            engine->open();
    }
    tick();
}

void KcpTestPeer::tick()
{
    KcpControlBlock* engine = m_side.kcp.get();
    if (!engine)
        return;
    engine->update(Clock::tickCount());
    const bool wasFull = engine->nRcvQue() >= engine->rcvWnd();
    m_side.deliver();
    m_side.pump();
    // A reader that made room tells the client at once.
    if ((wasFull && m_side.reading) || engine->sendRoom() > 0)
        engine->flush();
}
