#include "transport/NcmConnKcp.h"

#include "base/ByteOrder.h"
#include "base/Clock.h"
#include "base/Logger.h"
#include "base/SocketUtil.h"
#include "transport/ConnectAddress.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint32_t MaxDelay = 1000; // ms between updates on a quiet line
constexpr size_t DatagramBuffer = 2048;

// Sizes one of the socket's kernel buffers for a window of whole segments. A
// full window from the relay arrives in one burst; with the system's default
// buffer the kernel drops part of it even on a perfect link, and each drop
// costs a resend. Linux reports twice the size set (its bookkeeping share),
// so the grant is compared with that.
void sizeSocketBuffer(int fd, int option, const char* name, uint32_t segments, uint32_t mtu)
{
    const int wanted = static_cast<int>(std::min<uint64_t>(uint64_t(segments) * mtu, 64u << 20));
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(fd, SOL_SOCKET, option, &granted, &length) == 0 && granted / 2 >= wanted)
        return;
    setsockopt(fd, SOL_SOCKET, option, &wanted, sizeof wanted);
    length = sizeof granted;
    if (getsockopt(fd, SOL_SOCKET, option, &granted, &length) != 0 || granted / 2 >= wanted)
        return;
    // Once per process: every connection would get the same grant.
    static std::atomic<bool> warned[2];
    if (!warned[option == SO_RCVBUF ? 0 : 1].exchange(true))
        rootLogger.warn("kcp socket %s: %d bytes wanted for %u segments, the kernel grants %d", name, wanted,
            segments, granted / 2);
}

// Flags every Open in a datagram as opened ahead.
void markOpens(uint8_t* data, int length)
{
    size_t remaining = static_cast<size_t>(length);
    while (remaining >= KcpSegment::Overhead) {
        if (data[4] == KcpSegment::Open)
            data[5] = static_cast<uint8_t>(KcpSegment::OpenHold);
        const size_t size = KcpSegment::Overhead + readLe32(data + 20);
        if (size > remaining)
            break;
        data += size;
        remaining -= size;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// NcmKcpChannel

NcmKcpChannel::NcmKcpChannel(NcmKcpManager* manager, NcmConnKcp* connection, uint32_t conv)
    : m_connection(connection)
    , m_manager(manager)
    , m_alive(std::make_shared<bool>(true))
{
    event_base* base = manager->eventBase();
    m_timerEvent.reset(event_new(base, -1, 0, &NcmKcpChannel::onTimer, this));
    m_notifyEvent.reset(event_new(base, -1, 0, &NcmKcpChannel::onNotify, this));
    m_engine = KcpControlBlock::create(conv, this);
    if (m_engine) {
        m_engine->setOutput([](const uint8_t* data, int length, KcpControlBlock* kcp, void* user) {
            auto* self = static_cast<NcmKcpChannel*>(user);
            if (!self->m_socket.valid())
                return;
            // The datagram sits in the engine's own flush buffer; only the
            // Open's copies, until it is acknowledged, need the flag.
            if (self->m_openAhead && kcp->sndUna() == 0)
                markOpens(const_cast<uint8_t*>(data), length);
            // A datagram the kernel refuses is lost like any other; the engine resends it.
            ssize_t sent = ::send(self->m_socket.get(), data, static_cast<size_t>(length), 0);
            (void)sent;
        });
        m_engine->setStreamMode(true);
    }
    manager->m_attached.insert(this);
}

NcmKcpChannel::~NcmKcpChannel()
{
    *m_alive = false;
    if (m_manager)
        m_manager->m_attached.erase(this);
    // Events first: none may fire on a closed descriptor.
    m_socketEvent.reset();
    m_timerEvent.reset();
    m_notifyEvent.reset();
    m_engine.reset();
    m_socket.reset();
}

void NcmKcpChannel::onSocket(evutil_socket_t, short, void* arg)
{
    static_cast<NcmKcpChannel*>(arg)->handleSocket();
}

void NcmKcpChannel::onTimer(evutil_socket_t, short, void* arg)
{
    static_cast<NcmKcpChannel*>(arg)->handleTimer();
}

void NcmKcpChannel::onNotify(evutil_socket_t, short flags, void* arg)
{
    static_cast<NcmKcpChannel*>(arg)->handleNotify(flags);
}

void NcmKcpChannel::notifyConnection(NcmConn::Event event, int32_t error, uint32_t size)
{
    if (m_connection)
        m_connection->notify(event, error, size);
}

void NcmKcpChannel::markClosing()
{
    if (m_closeTime == 0)
        m_closeTime = Clock::tickCount() | 1u;
}

void NcmKcpChannel::armTimer()
{
    const int32_t pace = m_engine ? m_engine->paceWait() : -1;
    const uint32_t delay = pace >= 0 ? std::min(m_delay, static_cast<uint32_t>(pace)) : m_delay;
    timeval tv { static_cast<time_t>(delay / 1000), static_cast<suseconds_t>((delay % 1000) * 1000) };
    event_add(m_timerEvent.get(), &tv);
}

void NcmKcpChannel::armForPacer()
{
    const int32_t pace = m_engine->paceWait();
    if (pace >= 0)
        armTimerWithin(m_timerEvent.get(), static_cast<uint32_t>(pace));
}

void NcmKcpChannel::deliver()
{
    if (!m_wantRead || !m_connection || !m_engine)
        return;
    if (m_engine->peekSize() <= 0 && !m_engine->isPeerClosedOnly())
        return; // still owed: the next arrival delivers
    m_wantRead = false;
    event_active(m_notifyEvent.get(), EV_READ, 0);
}

uint32_t NcmKcpChannel::pull()
{
    // Data enters the input only together with its Read, as on TCP: an
    // owner moving the input on another event never sees bytes it was not
    // told about.
    KcpControlBlock& kcp = *m_engine;
    evbuffer* input = m_connection->input();
    const bool windowWasFull = kcp.nRcvQue() >= kcp.rcvWnd();
    uint32_t pulled = 0;
    int size;
    while ((size = kcp.peekSize()) > 0) {
        evbuffer_iovec space;
        if (evbuffer_reserve_space(input, size, &space, 1) < 1)
            break;
        int got = kcp.recv(space.iov_base, size);
        if (got <= 0)
            break;
        space.iov_len = static_cast<size_t>(got);
        evbuffer_commit_space(input, &space, 1);
        pulled += static_cast<uint32_t>(got);
    }
    // A sender facing a closed window only asks again after seconds: tell
    // it now that the reader made room.
    if (windowWasFull && kcp.nRcvQue() < kcp.rcvWnd())
        kcp.flush();
    if (pulled == 0 && kcp.isPeerClosedOnly()) {
        // The relay ended its stream and everything before the marker has
        // been read: answer with ours at once; the linger counts from here.
        kcp.close();
        markClosing();
    }
    return pulled;
}

void NcmKcpChannel::pump()
{
    if (!m_connection || m_connection->isClosed() || !m_engine)
        return;
    KcpControlBlock& kcp = *m_engine;
    evbuffer* output = m_connection->output();
    uint32_t moved = 0;
    // Nothing may be queued ahead of our Open, so data waits for connect.
    if (m_socket.valid()) {
        const int limit = 2 * static_cast<int>(kcp.sndWnd());
        bool full = false;
        while (!full && kcp.waitSend() < limit && evbuffer_get_length(output) > 0) {
            evbuffer_iovec chunks[16];
            const int count = evbuffer_peek(output, -1, nullptr, chunks, 16);
            size_t batch = 0;
            for (int i = 0; i < count && !full; ++i) {
                const size_t length = chunks[i].iov_len;
                if (length == 0)
                    continue;
                // One huge chunk must not flood the engine past its bound.
                const size_t room = static_cast<size_t>(limit - kcp.waitSend()) * kcp.mss();
                const size_t take = std::min(length, room);
                if (kcp.send(chunks[i].iov_base, static_cast<int>(take)) < 0) {
                    full = true;
                    break;
                }
                batch += take;
                full = take < length || kcp.waitSend() >= limit;
            }
            if (batch == 0)
                break;
            evbuffer_drain(output, batch);
            moved += static_cast<uint32_t>(batch);
        }
        // Acknowledged room is used at once instead of at the next timer tick.
        if (kcp.sendRoom() > 0) {
            kcp.flush();
            armForPacer();
        }
    }
    m_pendingWritten += moved;
    // A full engine owes nothing until an ack makes room: a Write without
    // progress has the owner ask again at once, and the loop would never get
    // back to reading the acks.
    const bool empty = evbuffer_get_length(output) == 0;
    const bool owed
        = m_wantDrain ? empty : empty || (m_pendingWritten > 0 && m_connection->outputSpace() > 0);
    if (m_wantWrite && owed) {
        m_wantWrite = false;
        m_wantDrain = false;
        event_active(m_notifyEvent.get(), EV_WRITE, 0);
    }
}

void NcmKcpChannel::handleSocket()
{
    if (!m_engine)
        return;
    auto alive = m_alive;
    KcpControlBlock& kcp = *m_engine;
    const bool wasEstablished = kcp.isEstablished();
    uint8_t buffer[DatagramBuffer];
    for (;;) {
        ssize_t n = ::recv(m_socket.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            const bool established = kcp.isEstablished();
            kcp.input(buffer, static_cast<long>(n));
            // Per datagram: the relay's Open and its window report may come in one read.
            if (!established && kcp.isEstablished())
                m_openWindow = kcp.rmtWnd();
            else if (established && kcp.rmtWnd() > m_openWindow)
                m_admitted = true;
            continue;
        }
        if (n == 0)
            continue; // an empty datagram carries nothing
        const int error = evutil_socket_geterror(m_socket.get());
        if (!isTransient(error)) {
            // Recorded for the next Read or Write; it does not end anything by itself.
            m_lastError = error;
            kcp.markBroken();
        }
        break;
    }

    if (!wasEstablished && kcp.isEstablished()) {
        kcp.open();
        if (m_connection) {
            m_connectTimeout = 0;
            notifyConnection(NcmConn::Connect, 0, 0);
            if (!*alive)
                return;
        }
    }
    kcp.update(Clock::tickCount());
    if (m_connection) {
        deliver();
        pump();
    } else if (kcp.sendRoom() > 0) {
        kcp.flush(); // a lingering channel drains at the pace of the acks too
    }
    m_delay = std::max(std::min(m_delay / 2, MaxDelay), kcp.interval());
    armTimer();
}

void NcmKcpChannel::handleTimer()
{
    auto alive = m_alive;
    if (!m_socket.valid()) {
        // Only a connect that failed at once gets here.
        if (m_pendingConnectError) {
            const int32_t error = m_pendingConnectError;
            m_pendingConnectError = 0;
            notifyConnection(NcmConn::Connect, error, 0);
        }
        return;
    }
    KcpControlBlock& kcp = *m_engine;
    const uint32_t now = Clock::tickCount();
    kcp.update(now);
    if (m_connection && m_connectTimeout != 0 && now - m_connectStart > m_connectTimeout
        && !kcp.isEstablished()) {
        m_connectTimeout = 0; // reported once
        notifyConnection(NcmConn::Connect, ETIMEDOUT, 0);
        if (!*alive)
            return;
    }
    // Signed: the close time may lie 1 ms ahead of now (its forced low bit).
    if (!m_connection
        && static_cast<int32_t>(now - m_closeTime) >= static_cast<int32_t>(NcmKcpManager::LingerTime)) {
        m_manager->destroyLingering(this);
        return;
    }
    // Resends come from update(): while segments wait for their ack the
    // line is not quiet, and a backed-off timer would hold them for up to
    // a second.
    m_delay = kcp.waitSend() > 0 ? kcp.interval() : std::max(std::min(m_delay * 2, MaxDelay), kcp.interval());
    armTimer();
}

void NcmKcpChannel::handleNotify(short flags)
{
    auto alive = m_alive;
    if ((flags & EV_READ) && m_connection && m_engine) {
        m_wantRead = false;
        const uint32_t size = pull();
        const int32_t error = m_lastError;
        m_lastError = 0;
        notifyConnection(NcmConn::Read, error, size);
        if (!*alive)
            return;
    }
    // Skipped when the owner closed the connection while handling the Read.
    if ((flags & EV_WRITE) && m_connection) {
        const int32_t error = m_lastError;
        const uint32_t size = m_pendingWritten;
        m_lastError = 0;
        m_pendingWritten = 0;
        notifyConnection(NcmConn::Write, error, size);
    }
}

// ---------------------------------------------------------------------------
// NcmConnKcp

NcmConnKcp::NcmConnKcp(NcmKcpManager* manager, uint32_t conv)
    : NcmConn(manager->eventBase())
    , m_conv(conv)
    , m_channel(std::make_unique<NcmKcpChannel>(manager, this, conv))
{
}

NcmConnKcp::~NcmConnKcp()
{
    close();
}

int NcmConnKcp::setMtu(int mtu)
{
    return m_channel && m_channel->m_engine ? m_channel->m_engine->setMtu(mtu) : -1;
}

int NcmConnKcp::setNoDelay(int nodelay, int interval, int resend, int nc)
{
    return m_channel && m_channel->m_engine ? m_channel->m_engine->setNoDelay(nodelay, interval, resend, nc)
                                            : -1;
}

void NcmConnKcp::setPacing(bool on)
{
    if (m_channel && m_channel->m_engine)
        m_channel->m_engine->setPacing(on);
}

void NcmConnKcp::setAckRepeat(bool on)
{
    if (m_channel && m_channel->m_engine)
        m_channel->m_engine->setAckRepeat(on);
}

void NcmConnKcp::setOpenAhead(bool on)
{
    if (m_channel)
        m_channel->m_openAhead = on;
}

bool NcmConnKcp::isReadyAhead() const
{
    const NcmKcpChannel* channel = m_channel.get();
    if (isClosed() || !channel || !channel->m_engine || !channel->m_admitted || channel->m_lastError != 0)
        return false;
    const KcpControlBlock& kcp = *channel->m_engine;
    return kcp.state() == KcpControlBlock::Established && kcp.nRcvQue() == 0 && kcp.nRcvBuf() == 0
        && kcp.rcvNxt() == 1 && kcp.sndNxt() == 1 && inputLength() == 0 && outputLength() == 0;
}

void NcmConnKcp::start()
{
    NcmKcpChannel* channel = m_channel.get();
    if (!channel || !channel->m_socket.valid() || !channel->m_engine)
        return;
    const KcpControlBlock& kcp = *channel->m_engine;
    uint8_t ask[KcpSegment::Overhead] = {};
    writeLe32(ask, m_conv);
    ask[4] = static_cast<uint8_t>(KcpSegment::WindowAsk);
    writeLe16(ask + 6, static_cast<uint16_t>(kcp.rcvWnd()));
    writeLe32(ask + 8, kcp.current());
    writeLe32(ask + 16, kcp.rcvNxt());
    // Lost, it costs a protocol whose server speaks first its start; data
    // starts the stream as well.
    ssize_t sent = ::send(channel->m_socket.get(), ask, sizeof ask, 0);
    (void)sent;
}

int NcmConnKcp::setWindowSize(int sndWnd, int rcvWnd)
{
    return m_channel && m_channel->m_engine ? m_channel->m_engine->setWindowSize(sndWnd, rcvWnd) : -1;
}

void NcmConnKcp::connect(const IpStackFacts* ipStack, const std::string& address, int timeoutSeconds)
{
    NcmKcpChannel* channel = m_channel.get();
    if (isClosed() || !channel || channel->m_socket.valid() || channel->m_pendingConnectError)
        return;

    int error = 0;
    sockaddr_storage storage;
    int length = 0;
    UniqueSocket fd;
    if (!channel->m_engine) {
        error = ENOMEM;
    } else if (!buildConnectAddress(ipStack, address, storage, length)) {
        rootLogger.error("SOMETHING WRONG! can not parse kcp connect address: %s", address.c_str());
        error = EINVAL;
    } else {
        fd.reset(::socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid())
            error = errno;
        else if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), static_cast<socklen_t>(length))
            != 0)
            error = errno; // a datagram socket connects at once; failing here means no route
    }
    if (error != 0) {
        // Reported from the loop, never from inside connect().
        channel->m_pendingConnectError = error;
        event_active(channel->m_timerEvent.get(), EV_TIMEOUT, 0);
        return;
    }

    KcpControlBlock& kcp = *channel->m_engine;
    sizeSocketBuffer(fd.get(), SO_RCVBUF, "receive buffer", kcp.rcvWnd(), kcp.mtu());
    sizeSocketBuffer(fd.get(), SO_SNDBUF, "send buffer", kcp.sndWnd(), kcp.mtu());

    const uint32_t now = Clock::tickCount();
    channel->m_connectStart = now;
    channel->m_connectTimeout = timeoutSeconds > 0 ? static_cast<uint32_t>(timeoutSeconds) * 1000u : 0;
    channel->m_socket = std::move(fd);
    channel->m_socketEvent.reset(
        event_new(m_base, channel->m_socket.get(), EV_READ | EV_PERSIST, &NcmKcpChannel::onSocket, channel));
    event_add(channel->m_socketEvent.get(), nullptr);

    kcp.update(now);
    kcp.open();
    channel->m_delay = std::max(std::min(channel->m_delay, MaxDelay), kcp.interval());
    channel->armTimer();
}

void NcmConnKcp::requestRead()
{
    if (!m_channel)
        return;
    m_channel->m_wantRead = true;
    m_channel->deliver();
}

void NcmConnKcp::requestWrite()
{
    if (!m_channel)
        return;
    m_channel->m_wantWrite = true;
    m_channel->m_wantDrain = false;
    m_channel->pump();
}

void NcmConnKcp::requestDrain()
{
    if (!m_channel)
        return;
    m_channel->m_wantWrite = true;
    m_channel->m_wantDrain = true;
    m_channel->pump();
}

void NcmConnKcp::doClose()
{
    if (!m_channel)
        return;
    std::unique_ptr<NcmKcpChannel> channel = std::move(m_channel);
    channel->m_connection = nullptr;
    channel->m_notifyEvent.reset();
    NcmKcpManager* manager = channel->m_manager;
    // Never connected, or its manager is gone: nothing to linger for.
    if (!channel->m_socket.valid() || !manager)
        return;
    channel->m_engine->close();
    channel->markClosing();
    manager->adopt(std::move(channel));
}

// ---------------------------------------------------------------------------
// NcmKcpManager

NcmKcpManager::NcmKcpManager(event_base* base)
    : m_base(base)
{
    evutil_secure_rng_init();
}

NcmKcpManager::~NcmKcpManager()
{
    for (NcmKcpChannel* channel : m_attached)
        channel->m_manager = nullptr;
    m_attached.clear();
    m_lingering.clear();
}

std::unique_ptr<NcmConnKcp> NcmKcpManager::createConnection()
{
    uint32_t conv = 0;
    evutil_secure_rng_get_bytes(&conv, sizeof conv);
    return std::make_unique<NcmConnKcp>(this, conv);
}

void NcmKcpManager::adopt(std::unique_ptr<NcmKcpChannel> channel)
{
    m_attached.erase(channel.get());
    NcmKcpChannel* raw = channel.get();
    m_lingering.push_back(std::move(channel));
    raw->m_lingerPosition = std::prev(m_lingering.end());
}

void NcmKcpManager::destroyLingering(NcmKcpChannel* channel)
{
    m_lingering.erase(channel->m_lingerPosition);
}
