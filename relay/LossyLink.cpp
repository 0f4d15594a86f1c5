#include "relay/LossyLink.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

namespace {

uint64_t nowUs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::string addressKey(const sockaddr_storage& address, socklen_t length)
{
    // recvfrom fills the padding of sockaddr_in with zeros, so the bytes compare.
    return std::string(reinterpret_cast<const char*>(&address), length);
}

} // namespace

ImpairmentStats& ImpairmentStats::operator+=(const ImpairmentStats& other)
{
    received += other.received;
    forwarded += other.forwarded;
    dropped += other.dropped;
    duplicated += other.duplicated;
    reordered += other.reordered;
    overflowed += other.overflowed;
    receivedBytes += other.receivedBytes;
    forwardedBytes += other.forwardedBytes;
    largest = std::max(largest, other.largest);
    return *this;
}

bool parseShare(const std::string& text, double& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str())
        return false;
    if (*end == '%') {
        value /= 100.0;
        ++end;
    }
    if (*end != '\0' || !(value >= 0.0 && value <= 1.0))
        return false;
    out = value;
    return true;
}

// ---------------------------------------------------------------------------
// ImpairedPath

ImpairedPath::ImpairedPath(event_base* base, const ImpairmentProfile& profile, uint32_t seed, Deliver deliver)
    : m_profile(profile)
    , m_rng(seed)
    , m_deliver(std::move(deliver))
    , m_timer(event_new(base, -1, 0, &ImpairedPath::onTimer, this))
{
}

bool ImpairedPath::chance(double share)
{
    // Always draw, so that one setting does not shift the others' sequence.
    const double draw = m_uniform(m_rng);
    return draw < share;
}

// Independent loss, or the good/bad chain of the burst model. Draws for the
// burst model only when it is on, so that plain runs replay as before.
bool ImpairedPath::lose()
{
    if (m_profile.enterBad > 0.0) {
        m_bad = chance(m_bad ? 1.0 - m_profile.leaveBad : m_profile.enterBad);
        if (m_bad)
            return chance(m_profile.lossBad);
    }
    return chance(m_profile.loss);
}

// When a datagram of `length` bytes has left the bottleneck; 0 when the
// queue in front of it is full.
uint64_t ImpairedPath::departure(size_t length, uint64_t now)
{
    while (!m_queued.empty() && m_queued.front().first <= now) {
        m_queuedBytes -= m_queued.front().second;
        m_queued.pop_front();
    }
    if (m_queuedBytes + length > m_profile.queueBytes && !m_queued.empty())
        return 0;
    const uint64_t serialiseUs = length * 8 * 1000000ull / m_profile.rateBitsPerSecond;
    m_linkFreeUs = std::max(m_linkFreeUs, now) + serialiseUs;
    m_queued.emplace_back(m_linkFreeUs, length);
    m_queuedBytes += length;
    return m_linkFreeUs;
}

void ImpairedPath::submit(const uint8_t* data, size_t length)
{
    m_stats.received += 1;
    m_stats.receivedBytes += length;
    m_stats.largest = std::max(m_stats.largest, length);
    uint64_t now = 0;
    uint64_t sent = 0; // when the datagram has left the bottleneck
    if (m_profile.rateBitsPerSecond > 0) {
        now = nowUs();
        sent = departure(length, now);
        if (sent == 0) {
            m_stats.overflowed += 1;
            return;
        }
    }
    const bool drop = lose();
    const bool twice = chance(m_profile.duplicate);
    const bool late = chance(m_profile.reorder);
    if (drop) {
        m_stats.dropped += 1;
        return;
    }
    const int copies = twice ? 2 : 1;
    m_stats.duplicated += twice ? 1 : 0;
    m_stats.reordered += late ? 1 : 0;
    if (sent == 0 && m_profile.delayMs == 0 && m_profile.jitterMs == 0 && !late) {
        for (int i = 0; i < copies; ++i) {
            m_stats.forwarded += 1;
            m_stats.forwardedBytes += length;
            m_deliver(data, length);
        }
        return;
    }
    if (sent == 0)
        sent = nowUs();
    uint64_t due = sent + 1000ull * m_profile.delayMs;
    if (m_profile.jitterMs > 0) {
        due += static_cast<uint64_t>(m_uniform(m_rng) * 1000.0 * m_profile.jitterMs);
        due = std::max(due, m_lastDueUs);
        m_lastDueUs = due;
    }
    if (late)
        due += 1000ull * m_profile.reorderMs;
    for (int i = 0; i < copies; ++i)
        hold(data, length, due);
    armTimer();
}

void ImpairedPath::hold(const uint8_t* data, size_t length, uint64_t dueUs)
{
    if (m_heldBytes + length > m_profile.queueLimit) {
        m_stats.overflowed += 1;
        return;
    }
    m_held.emplace(dueUs, std::vector<uint8_t>(data, data + length));
    m_heldBytes += length;
}

void ImpairedPath::armTimer()
{
    if (m_held.empty())
        return;
    const uint64_t now = nowUs();
    const uint64_t due = m_held.begin()->first;
    const uint64_t wait = due > now ? due - now : 0;
    timeval tv { static_cast<time_t>(wait / 1000000), static_cast<suseconds_t>(wait % 1000000) };
    event_add(m_timer.get(), &tv);
}

void ImpairedPath::release()
{
    const uint64_t now = nowUs();
    while (!m_held.empty() && m_held.begin()->first <= now) {
        std::vector<uint8_t> datagram = std::move(m_held.begin()->second);
        m_held.erase(m_held.begin());
        m_heldBytes -= datagram.size();
        m_stats.forwarded += 1;
        m_stats.forwardedBytes += datagram.size();
        m_deliver(datagram.data(), datagram.size());
    }
    armTimer();
}

void ImpairedPath::onTimer(evutil_socket_t, short, void* arg)
{
    static_cast<ImpairedPath*>(arg)->release();
}

// ---------------------------------------------------------------------------
// LossyUdpForwarder

struct LossyUdpForwarder::Session {
    LossyUdpForwarder* owner = nullptr;
    sockaddr_storage client {};
    socklen_t clientLength = 0;
    UniqueSocket socket; // connected to the target
    EventPtr readEvent;
    std::unique_ptr<ImpairedPath> toTarget;
    std::unique_ptr<ImpairedPath> toClient;
    uint64_t lastActiveUs = 0;

    ~Session() { readEvent.reset(); }
    static void onServer(evutil_socket_t, short, void* arg)
    {
        auto* session = static_cast<Session*>(arg);
        session->owner->handleServerDatagrams(*session);
    }
};

LossyUdpForwarder::LossyUdpForwarder(event_base* base, LossyUdpOptions options)
    : m_base(base)
    , m_options(std::move(options))
{
}

LossyUdpForwarder::~LossyUdpForwarder()
{
    m_socketEvent.reset();
    m_sweepEvent.reset();
    m_sessions.clear();
}

bool LossyUdpForwarder::start(std::string& error)
{
    if (!parseSocketAddress(m_options.target, m_target, m_targetLength)) {
        error = "can not parse the target address: " + m_options.target;
        return false;
    }
    m_socket = bindUdpSocket(m_options.listen, 4 << 20, error);
    if (!m_socket.valid())
        return false;
    m_port = boundPort(m_socket.get());
    m_socketEvent.reset(
        event_new(m_base, m_socket.get(), EV_READ | EV_PERSIST, &LossyUdpForwarder::onClient, this));
    event_add(m_socketEvent.get(), nullptr);
    m_sweepEvent.reset(event_new(m_base, -1, EV_PERSIST, &LossyUdpForwarder::onSweep, this));
    timeval tv { 1, 0 };
    event_add(m_sweepEvent.get(), &tv);
    return true;
}

void LossyUdpForwarder::onClient(evutil_socket_t, short, void* arg)
{
    static_cast<LossyUdpForwarder*>(arg)->handleClientDatagrams();
}

void LossyUdpForwarder::onSweep(evutil_socket_t, short, void* arg)
{
    static_cast<LossyUdpForwarder*>(arg)->sweep();
}

void LossyUdpForwarder::handleClientDatagrams()
{
    uint8_t buffer[65536];
    for (int i = 0; i < 1024; ++i) {
        sockaddr_storage from {};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(
            m_socket.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0)
            break;
        const std::string key = addressKey(from, fromLength);
        auto it = m_sessions.find(key);
        if (it == m_sessions.end()) {
            auto session = std::make_unique<Session>();
            session->owner = this;
            session->client = from;
            session->clientLength = fromLength;
            session->socket.reset(::socket(m_target.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (!session->socket.valid()
                || ::connect(session->socket.get(), reinterpret_cast<sockaddr*>(&m_target), m_targetLength)
                    != 0)
                continue;
            int size = 4 << 20;
            setsockopt(session->socket.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            Session* raw = session.get();
            const uint32_t seed = m_options.seed * 1000003u + 2u * m_sessionsMade++;
            session->toTarget = std::make_unique<ImpairedPath>(
                m_base, m_options.toTarget, seed, [raw](const uint8_t* data, size_t size) {
                    ssize_t r = ::send(raw->socket.get(), data, size, 0);
                    (void)r;
                });
            session->toClient = std::make_unique<ImpairedPath>(
                m_base, m_options.toClient, seed + 1, [this, raw](const uint8_t* data, size_t size) {
                    ssize_t r = ::sendto(m_socket.get(), data, size, 0,
                        reinterpret_cast<sockaddr*>(&raw->client), raw->clientLength);
                    (void)r;
                });
            session->readEvent.reset(
                event_new(m_base, session->socket.get(), EV_READ | EV_PERSIST, &Session::onServer, raw));
            event_add(session->readEvent.get(), nullptr);
            it = m_sessions.emplace(key, std::move(session)).first;
        }
        it->second->lastActiveUs = nowUs();
        it->second->toTarget->submit(buffer, static_cast<size_t>(n));
    }
}

void LossyUdpForwarder::handleServerDatagrams(Session& session)
{
    uint8_t buffer[65536];
    for (int i = 0; i < 1024; ++i) {
        ssize_t n = ::recv(session.socket.get(), buffer, sizeof buffer, 0);
        if (n < 0)
            break;
        session.lastActiveUs = nowUs();
        session.toClient->submit(buffer, static_cast<size_t>(n));
    }
}

void LossyUdpForwarder::sweep()
{
    // Its own clock: tests that shift the proxy's clock must not age sessions.
    const uint64_t now = nowUs();
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (now - it->second->lastActiveUs >= 1000ull * m_options.sessionIdleMs) {
            m_endedToTarget += it->second->toTarget->stats();
            m_endedToClient += it->second->toClient->stats();
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

ImpairmentStats LossyUdpForwarder::toTargetStats() const
{
    ImpairmentStats total = m_endedToTarget;
    for (const auto& entry : m_sessions)
        total += entry.second->toTarget->stats();
    return total;
}

ImpairmentStats LossyUdpForwarder::toClientStats() const
{
    ImpairmentStats total = m_endedToClient;
    for (const auto& entry : m_sessions)
        total += entry.second->toClient->stats();
    return total;
}
