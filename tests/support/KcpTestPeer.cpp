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
    sockaddr_storage from;
    socklen_t length = sizeof from;
    ssize_t n;
    while ((n = ::recvfrom(
                m_socket.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length))
        >= 0) {
        ++m_datagrams;
        if (n >= 4)
            m_seen.insert(readLe32(buffer));
        if (m_dropping || !m_answering)
            continue;
        if (!m_engine) {
            if (n < 24)
                continue;
            m_engine = KcpControlBlock::create(readLe32(buffer), this);
            KcpPair::applySystemSettings(*m_engine);
            m_engine->setOutput([](const uint8_t* data, int size, KcpControlBlock*, void* user) {
                auto* self = static_cast<KcpTestPeer*>(user);
                if (!self->m_dropping)
                    ::send(self->m_socket.get(), data, static_cast<size_t>(size), 0);
            });
            ::connect(m_socket.get(), reinterpret_cast<sockaddr*>(&from), length);
            m_engine->update(Clock::tickCount());
        }
        const bool wasEstablished = m_engine->isEstablished();
        m_engine->input(buffer, n);
        if (!wasEstablished && m_engine->isEstablished())
            m_engine->open();
        length = sizeof from;
    }
    tick();
}

void KcpTestPeer::tick()
{
    if (!m_engine)
        return;
    m_engine->update(Clock::tickCount());
    if (m_reading) {
        const bool wasFull = m_engine->nRcvQue() >= m_engine->rcvWnd();
        int size;
        char buffer[4096];
        while ((size = m_engine->peekSize()) > 0) {
            const int got = m_engine->recv(buffer, sizeof buffer);
            if (got <= 0)
                break;
            m_received.append(buffer, static_cast<size_t>(got));
        }
        m_clientEnded |= size == 0;
        if (wasFull)
            m_engine->flush();
    }
    if (m_engine->sendRoom() > 0)
        m_engine->flush();
}

void KcpTestPeer::send(const std::string& data)
{
    if (m_engine) {
        m_engine->send(data.data(), static_cast<int>(data.size()));
        m_engine->flush();
    }
}

void KcpTestPeer::sendEndOfStream()
{
    if (m_engine)
        m_engine->close();
}
