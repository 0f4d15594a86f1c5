#include "transport/NcmConnTcp.h"

#include "base/Logger.h"
#include "base/SocketUtil.h"
#include "transport/ConnectAddress.h"

#include <algorithm>
#include <cerrno>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// One readable event takes at most this much, less what the input still
// holds, and no more than the owner has room for (setReadRoom), so that a
// stalled peer costs about the high-water mark per direction.
// Fewer, larger reads keep a bulk transfer cheap (libevent's own read stops
// at 4 KiB). libevent adds a header to the room it allocates and rounds up
// to a power of two, hence a little less than 128 KiB.
constexpr size_t ReadBudget = 128 * 1024 - 512;
// A connection starts with small reads into the stack, so that a short
// exchange or a client that sends nothing holds no large buffer, and
// doubles its read each time one fills. Sized, like the budget, so that
// its chain fits a 16 KiB allocation; reads cut short for room take this
// path too.
constexpr size_t FirstRead = 16 * 1024 - 512;
constexpr size_t MinRead = 4096;

// Whether a non-blocking connect has already completed successfully, without
// waiting: one poll instead of a writability round through the loop.
bool connectDone(evutil_socket_t fd)
{
    pollfd entry { fd, POLLOUT, 0 };
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLOUT) && !(entry.revents & (POLLERR | POLLHUP));
}

size_t queued(evutil_socket_t fd, unsigned long request)
{
    int bytes = 0;
    if (fd < 0 || ::ioctl(fd, request, &bytes) != 0 || bytes < 0)
        return SIZE_MAX;
    return static_cast<size_t>(bytes);
}

} // namespace

struct NcmConnTcp::State {
    UniqueSocket socket;
    bool connected = false;
    bool failed = false;
    bool wantRead = false; // a Read event is owed to the owner
    bool wantWrite = false;
    bool wantDrain = false; // the owed Write waits for an empty output
    // An accepted client has usually sent its request by the time it is
    // accepted: the first read is tried before waiting for readability.
    bool readEagerly = false;
    // The connect was seen complete at once (loopback, or a fast network):
    // the Connect event needs no writability and no error query.
    bool connectedEarly = false;
    size_t readSize = FirstRead;
    bool roomless = false; // the last read found no room for its bytes
    bool lastOutput = false; // nothing follows what the output holds
    uint32_t pendingWritten = 0;
    bool anythingSent = false;
    int32_t lastWriteError = 0;
    // A connect that failed before the socket could report it (bad address,
    // no socket, immediate refusal); delivered from the next loop turn.
    int32_t pendingConnectError = 0;
    EventPtr readEvent;
    EventPtr writeEvent;
    EventPtr connectFailEvent;
};

NcmConnTcp::NcmConnTcp(event_base* base)
    : NcmConn(base)
    , m_state(std::make_unique<State>())
{
}

NcmConnTcp::~NcmConnTcp()
{
    close();
}

evutil_socket_t NcmConnTcp::socket() const
{
    return m_state->socket.get();
}

UniqueSocket NcmConnTcp::releaseSocket()
{
    m_state->readEvent.reset();
    m_state->writeEvent.reset();
    m_state->connectFailEvent.reset();
    return std::move(m_state->socket);
}

void NcmConnTcp::createEvents()
{
    const evutil_socket_t fd = m_state->socket.get();
    // Persistent, so that a read requested again from inside the Read
    // callback keeps it armed instead of removing and re-adding it.
    m_state->readEvent.reset(event_new(m_base, fd, EV_READ | EV_PERSIST, &NcmConnTcp::onReadable, this));
    m_state->writeEvent.reset(event_new(m_base, fd, EV_WRITE, &NcmConnTcp::onWritable, this));
}

void NcmConnTcp::attachSocket(UniqueSocket socket)
{
    m_state->socket = std::move(socket);
    createEvents();
    m_state->connected = true;
    m_state->readEagerly = true;
}

void NcmConnTcp::failConnectSoon(int error)
{
    m_state->pendingConnectError = error ? error : EINVAL;
    m_state->connectFailEvent.reset(event_new(m_base, -1, 0, &NcmConnTcp::onConnectFailed, this));
    if (m_state->connectFailEvent)
        event_active(m_state->connectFailEvent.get(), 0, 0);
}

void NcmConnTcp::connect(const IpStackFacts* ipStack, const std::string& address, int timeoutSeconds)
{
    if (isClosed() || m_state->socket.valid() || m_state->connectFailEvent)
        return;
    sockaddr_storage storage;
    int length = 0;
    if (!buildConnectAddress(ipStack, address, storage, length)) {
        rootLogger.error("SOMETHING WRONG! can not parse connect address: %s", address.c_str());
        failConnectSoon(EINVAL);
        return;
    }
    // Non-blocking from the start: two fcntl calls less per upstream.
    UniqueSocket fd(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        failConnectSoon(errno);
        return;
    }
    int rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), static_cast<socklen_t>(length));
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR) {
        // Refused at once (unreachable network, no route): writability
        // would not carry the error any more.
        failConnectSoon(errno);
        return;
    }
    m_state->socket = std::move(fd);
    createEvents();
    if (rc == 0 || connectDone(m_state->socket.get())) {
        // Reported from the next callback, never from inside this call.
        m_state->connectedEarly = true;
        event_active(m_state->writeEvent.get(), EV_WRITE, 0);
        return;
    }
    if (timeoutSeconds > 0) {
        timeval tv { timeoutSeconds, 0 };
        event_add(m_state->writeEvent.get(), &tv);
    } else {
        event_add(m_state->writeEvent.get(), nullptr);
    }
}

void NcmConnTcp::resetOnClose()
{
    if (!m_state->socket.valid())
        return;
    linger reset { 1, 0 };
    setsockopt(m_state->socket.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

size_t NcmConnTcp::unreadInKernel() const
{
    return queued(m_state->socket.get(), FIONREAD);
}

size_t NcmConnTcp::unackedInKernel() const
{
    return queued(m_state->socket.get(), SIOCOUTQ);
}

size_t NcmConnTcp::roomBelow() const
{
    int limit = 0;
    socklen_t length = sizeof limit;
    const size_t held = unackedInKernel();
    if (getsockopt(m_state->socket.get(), SOL_SOCKET, SO_SNDBUF, &limit, &length) != 0 || limit <= 0
        || held == SIZE_MAX)
        return 0;
    // The limit counts the kernel's own overhead per packet too.
    const size_t payload = static_cast<size_t>(limit) - static_cast<size_t>(limit) / 8;
    return payload > held ? payload - held : 0;
}

bool NcmConnTcp::anythingSent() const
{
    return m_state->anythingSent;
}

void NcmConnTcp::markLastOutput()
{
    m_state->lastOutput = true;
}

void NcmConnTcp::requestRead()
{
    if (isClosed() || m_state->failed || !m_state->readEvent)
        return;
    m_state->wantRead = true;
    if (m_state->readEagerly) {
        // Runs later in this loop turn and arms the event only if nothing is
        // there yet: a request that came whole never costs a registration.
        m_state->readEagerly = false;
        event_active(m_state->readEvent.get(), EV_READ, 0);
        return;
    }
    if (!event_pending(m_state->readEvent.get(), EV_READ, nullptr))
        event_add(m_state->readEvent.get(), nullptr);
}

void NcmConnTcp::requestWrite()
{
    if (isClosed() || m_state->failed)
        return;
    m_state->wantWrite = true;
    m_state->wantDrain = false;
    if (!m_state->writeEvent)
        return; // a failing connect delivers the owed Write
    if (!m_state->connected) {
        // Keeps a pending connect time-out: a null timeval does not replace it.
        event_add(m_state->writeEvent.get(), nullptr);
        return;
    }
    int r = flush();
    if (r < 0 || writeOwed())
        event_active(m_state->writeEvent.get(), 0, 0);
    else
        event_add(m_state->writeEvent.get(), nullptr);
}

bool NcmConnTcp::writeOwed() const
{
    // Only progress earns a Write: owing one while the socket takes nothing
    // has the owner ask again at once, and the loop never gets back to
    // polling (a peer that stops reading would freeze every connection).
    if (m_state->wantDrain)
        return outputLength() == 0;
    return outputLength() == 0 || (m_state->pendingWritten > 0 && outputSpace() > 0);
}

void NcmConnTcp::requestDrain()
{
    if (isClosed() || m_state->failed)
        return;
    if (!m_state->connected || !m_state->writeEvent) {
        requestWrite();
        return;
    }
    m_state->wantWrite = true;
    m_state->wantDrain = true;
    int r = flush();
    if (r >= 0 && outputLength() > 0)
        event_add(m_state->writeEvent.get(), nullptr);
    else
        event_active(m_state->writeEvent.get(), 0, 0);
}

void NcmConnTcp::doClose()
{
    m_state->readEvent.reset();
    m_state->writeEvent.reset();
    m_state->connectFailEvent.reset();
    m_state->socket.reset();
}

int NcmConnTcp::flush()
{
    if (outputLength() == 0)
        return 0;
    evbuffer_iovec pieces[64];
    const int count = std::min(evbuffer_peek(output(), -1, nullptr, pieces, 64), 64);
    msghdr message {};
    message.msg_iov = reinterpret_cast<iovec*>(pieces);
    message.msg_iovlen = static_cast<size_t>(count);
    // The last bytes are held back for the closing FIN to ride on the last
    // segment: the close follows as soon as the output drains.
    const int flags = MSG_NOSIGNAL | (m_state->lastOutput ? MSG_MORE : 0);
    const ssize_t sent = ::sendmsg(m_state->socket.get(), &message, flags);
    if (sent > 0)
        evbuffer_drain(output(), static_cast<size_t>(sent));
    const int n = static_cast<int>(sent);
    if (n < 0) {
        int error = evutil_socket_geterror(m_state->socket.get());
        if (!isTransient(error)) {
            m_state->lastWriteError = error;
            m_state->failed = true;
            return n;
        }
    }
    if (n < 1)
        return 0;
    m_state->pendingWritten += static_cast<uint32_t>(n);
    m_state->anythingSent = true;
    return n;
}

void NcmConnTcp::onReadable(evutil_socket_t, short, void* arg)
{
    static_cast<NcmConnTcp*>(arg)->handleRead();
}

void NcmConnTcp::onWritable(evutil_socket_t, short flags, void* arg)
{
    static_cast<NcmConnTcp*>(arg)->handleWrite(flags);
}

void NcmConnTcp::onConnectFailed(evutil_socket_t, short, void* arg)
{
    static_cast<NcmConnTcp*>(arg)->handleWrite(0);
}

int NcmConnTcp::readSome()
{
    State& s = *m_state;
    const size_t queued = inputLength();
    size_t want = s.readSize <= FirstRead
        ? FirstRead
        : std::max(std::min(s.readSize, queued < ReadBudget ? ReadBudget - queued : 0), MinRead);
    // Where the bytes go may be short of room: a read beyond it would sit
    // in memory for as long as the far side stalls.
    const size_t room = m_readRoom ? m_readRoom(want) : want;
    s.roomless = room == 0;
    if (s.roomless) {
        errno = EAGAIN;
        return -1;
    }
    // A read cut short does not grow the next one; a short one fits a
    // small chain.
    const bool bounded = room < want;
    if (bounded)
        want = room > NcmConn::OutputHighWater ? room : std::min(room, FirstRead);
    if (want <= FirstRead) {
        char bytes[FirstRead];
        const ssize_t n = ::recv(s.socket.get(), bytes, want, 0);
        if (n > 0) {
            if (evbuffer_add(input(), bytes, static_cast<size_t>(n)) != 0) {
                errno = ENOMEM;
                return -1;
            }
            if (!bounded && static_cast<size_t>(n) == sizeof bytes)
                s.readSize *= 2;
        }
        return static_cast<int>(n);
    }
    evbuffer_iovec space[2];
    const int count = evbuffer_reserve_space(input(), static_cast<ev_ssize_t>(want), space, 2);
    if (count < 1) {
        errno = ENOMEM;
        return -1;
    }
    iovec pieces[2];
    size_t offered = 0;
    for (int i = 0; i < count; ++i) {
        // The reserved room may be larger than asked: keep to the budget.
        space[i].iov_len = std::min(space[i].iov_len, want - offered);
        offered += space[i].iov_len;
        pieces[i].iov_base = space[i].iov_base;
        pieces[i].iov_len = space[i].iov_len;
    }
    const ssize_t n = ::readv(s.socket.get(), pieces, count);
    if (n <= 0)
        return static_cast<int>(n);
    if (!bounded && static_cast<size_t>(n) == offered && s.readSize < ReadBudget)
        s.readSize *= 2;
    size_t left = static_cast<size_t>(n);
    int used = 0;
    for (; used < count && left > 0; ++used) {
        space[used].iov_len = std::min(space[used].iov_len, left);
        left -= space[used].iov_len;
    }
    evbuffer_commit_space(input(), space, used);
    return static_cast<int>(n);
}

void NcmConnTcp::handleRead()
{
    State& s = *m_state;
    if (!s.wantRead) {
        // Still armed from a Read already delivered: stop watching until the
        // owner asks again.
        event_del(s.readEvent.get());
        return;
    }
    int n = readSome();
    if (n > 0) {
        s.wantRead = false;
        // Left armed even if the owner does not ask again at once: the next
        // request usually follows (after a connect or a write), and an
        // unwanted readiness meanwhile removes it above.
        notify(Read, 0, static_cast<uint32_t>(n));
        return;
    }
    int error = 0;
    if (n < 0) {
        error = evutil_socket_geterror(s.socket.get());
        if (isTransient(error)) {
            // Spurious readiness, or an eager read too early: wait for the
            // data asked for. With no room for it, the owner asks again once
            // the far side has taken some.
            if (s.roomless)
                event_del(s.readEvent.get());
            else if (!event_pending(s.readEvent.get(), EV_READ, nullptr))
                event_add(s.readEvent.get(), nullptr);
            return;
        }
    }
    s.failed = true;
    s.wantRead = false;
    event_del(s.readEvent.get());
    notify(Read, error, 0);
}

void NcmConnTcp::handleWrite(short flags)
{
    State& s = *m_state;
    if (!s.connected) {
        int error = 0;
        if (s.pendingConnectError) {
            error = s.pendingConnectError;
            s.pendingConnectError = 0;
        } else if (s.connectedEarly) {
            error = 0;
        } else if (flags & EV_TIMEOUT) {
            error = ETIMEDOUT;
        } else {
            socklen_t length = sizeof error;
            if (getsockopt(s.socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
        if (error == 0) {
            s.connected = true;
        } else if (error != ETIMEDOUT) {
            // Refused or unreachable: nothing more can be sent or received.
            s.failed = true;
            s.lastWriteError = error;
            flags = 0;
        }
        auto alive = aliveToken();
        notify(Connect, error, 0);
        if (!*alive || isClosed())
            return;
    }

    bool owed = true;
    if ((flags & EV_WRITE) && !s.failed) {
        int r = flush();
        if (r >= 0 && outputLength() > 0)
            event_add(s.writeEvent.get(), nullptr);
        owed = r < 0 || writeOwed();
    }
    if (s.wantWrite && owed) {
        s.wantDrain = false;
        int32_t error = s.lastWriteError;
        uint32_t written = s.pendingWritten;
        s.wantWrite = false;
        s.pendingWritten = 0;
        s.lastWriteError = 0;
        notify(Write, error, written);
    }
}
