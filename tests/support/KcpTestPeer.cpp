#include "tests/support/KcpTestPeer.h"

#include "base/ByteOrder.h"
#include "base/Clock.h"
#include "base/SocketUtil.h"

#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

KcpTestPeer::KcpTestPeer(event_base* base, const char* host)
    : m_host(host)
{
    std::string error;
    m_socket = bindUdpSocket(std::string(host) + ":0", 4 << 20, error);
    m_port = boundPort(m_socket.get());
    m_readEvent.reset(event_new(base, m_socket.get(), EV_READ | EV_PERSIST, &KcpTestPeer::onReadable, this));
    event_add(m_readEvent.get(), nullptr);
    m_timer.reset(event_new(base, -1, EV_PERSIST, &KcpTestPeer::onTimer, this));
    timeval tv { 0, 10 * 1000 };
    event_add(m_timer.get(), &tv);
}

KcpTestPeer::~KcpTestPeer()
{
    m_readEvent.reset();
    m_timer.reset();
    m_engine.reset();
}

void KcpTestPeer::onReadable(evutil_socket_t, short, void* arg)
{
    static_cast<KcpTestPeer*>(arg)->handleDatagrams();
}

void KcpTestPeer::onTimer(evutil_socket_t, short, void* arg)
{
    static_cast<KcpTestPeer*>(arg)->tick();
}

void KcpTestPeer::handleDatagrams()
{
    uint8_t buffer[65536];
    for (;;) {
        sockaddr_storage from;
        socklen_t length = sizeof from;
        ssize_t n = ::recvfrom(
            m_socket.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            break;
        ++m_datagrams;
        if (n >= 4)
            m_seen.insert(readLe32(buffer));
        if (m_dropping || !m_answering)
            continue;
        if (!m_engine) {
            if (n < 24)
                continue;
            m_conv = readLe32(buffer);
            m_engine = KcpControlBlock::create(m_conv, this);
            KcpPair::applySystemSettings(*m_engine);
            m_engine->setOutput([](const uint8_t* data, int size, KcpControlBlock*, void* user) {
                auto* self = static_cast<KcpTestPeer*>(user);
                if (!self->m_dropping) {
                    ssize_t r = ::send(self->m_socket.get(), data, static_cast<size_t>(size), 0);
                    (void)r;
                }
            });
            ::connect(m_socket.get(), reinterpret_cast<sockaddr*>(&from), length);
            m_engine->update(Clock::tickCount());
        }
        const bool wasEstablished = m_engine->isEstablished();
        m_engine->input(buffer, n);
        if (!wasEstablished && m_engine->isEstablished())
            m_engine->open();
    }
    if (m_engine)
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
            int got = m_engine->recv(buffer, sizeof buffer);
            if (got <= 0)
                break;
            m_received.append(buffer, static_cast<size_t>(got));
        }
        if (size == 0)
            m_clientEnded = true;
        if (wasFull)
            m_engine->flush();
    }
    if (m_engine->sendRoom() > 0)
        m_engine->flush();
}

void KcpTestPeer::send(const std::string& data)
{
    if (!m_engine)
        return;
    m_engine->send(data.data(), static_cast<int>(data.size()));
    m_engine->flush();
}

void KcpTestPeer::sendEndOfStream()
{
    if (m_engine)
        m_engine->close();
}
