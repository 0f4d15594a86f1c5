// Load generator for relay-load.sh: HTTP fetches over many KCP conversations
// (or plain TCP connections, for a peer reached through its own client) from
// one event loop. Each fetch comes from its own loopback address, so that a
// server's per-address shares stay out of the way and the kernel spreads the
// fetches over servers sharing a port. It costs far less per fetch than a
// proxy and curl, so that on a small machine the server sets the pace.
//
//   relay_load kcp|tcp ADDR:PORT HOST PATH BYTES [--at-once N | --rate R --seconds S]
//              [--hold MS] [--timeout MS] [--sources A.B] [--spread N]
//
// --at-once starts N fetches together; --rate starts R a second, evenly,
// for S seconds. --hold keeps each conversation open and idle that long
// before its request, so that the server can be seen at rest. Either way it waits for the last one (at most
// --timeout after its start) and prints one line of key=value pairs. A fetch is good when the status is 200
// and exactly BYTES of body came before the end of the stream.

#include "base/ByteOrder.h"
#include "base/Clock.h"
#include "base/EventPtr.h"
#include "base/SocketUtil.h"
#include "base/UniqueSocket.h"
#include "transport/KcpControlBlock.h"

#include <event2/event.h>
#include <event2/util.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unordered_set>
#include <vector>

namespace {

// The proxy's engine settings, so that the server sees what real clients send.
constexpr int Mtu = 1360;
constexpr int Interval = 20;
constexpr int ReceiveWindow = 1024;
// After the last segment both ways, acks are answered this long: a lost one
// would otherwise keep the server's conversation from finishing.
constexpr uint32_t LingerMs = 1000;
constexpr size_t HeadLimit = 16 * 1024;

enum class Outcome { Pending, Good, NoAnswer, Stalled, BadStatus, Short, SocketError };

struct Settings {
    bool kcp = true;
    sockaddr_storage target {};
    socklen_t targetLength = 0;
    std::string request;
    uint64_t expected = 0;
    int atOnce = 0;
    double rate = 0;
    double seconds = 0;
    uint32_t timeoutMs = 10000; // from the request
    uint32_t holdMs = 0; // the conversation (or connection) stays idle this long before its request
    uint8_t sourceA = 9, sourceB = 0; // fetches come from 127.A.B.1 upward
    uint32_t spread = 64 * 254; // distinct source addresses in turn
};

class Load;

class Fetch {
public:
    Fetch(Load& load, uint32_t index);
    ~Fetch();
    bool valid() const { return m_socket.valid(); }
    Outcome outcome() const { return m_outcome; }
    uint32_t firstByteMs() const { return m_firstByte - m_requestAt; }
    uint32_t doneAt() const { return m_doneAt; }
    uint64_t body() const { return m_body; }

private:
    void onReadable();
    void onTimer();
    void onWritable();
    void sendRequest();
    void describe() const;
    void consume(const uint8_t* data, size_t length);
    void finish(Outcome outcome);
    void armTimer(uint32_t ms);
    void kcpReceive();
    static void readCallback(evutil_socket_t, short, void* arg) { static_cast<Fetch*>(arg)->onReadable(); }
    static void writeCallback(evutil_socket_t, short, void* arg) { static_cast<Fetch*>(arg)->onWritable(); }
    static void timerCallback(evutil_socket_t, short, void* arg) { static_cast<Fetch*>(arg)->onTimer(); }

    Load& m_load;
    UniqueSocket m_socket;
    KcpControlBlockPtr m_engine;
    EventPtr m_read;
    EventPtr m_write;
    EventPtr m_timer;
    uint32_t m_started;
    uint32_t m_requestAt = 0; // 0 while held
    bool m_connected = false;
    uint32_t m_openWindow = 0; // the relay's window in its Open
    bool m_admitted = false; // the relay opened its window past that: proven
    uint32_t m_lastAsk = 0;
    uint32_t m_datagramsIn = 0;
    uint32_t m_lastIn = 0;
    uint32_t m_firstByte = 0;
    uint32_t m_doneAt = 0;
    std::string m_head;
    bool m_inBody = false;
    int m_status = 0;
    uint64_t m_body = 0;
    bool m_ended = false; // the server's end of stream arrived
    Outcome m_outcome = Outcome::Pending;
};

class Load {
public:
    explicit Load(const Settings& settings)
        : m_settings(settings)
        , m_base(event_base_new())
        , m_starter(event_new(m_base.get(), -1, EV_PERSIST, &Load::onStarter, this))
        , m_scratch(64 * 1024)
    {
    }

    int run();
    event_base* base() const { return m_base.get(); }
    const Settings& settings() const { return m_settings; }
    std::vector<uint8_t>& scratch() { return m_scratch; }
    void retire(Fetch* fetch);
    void drop(Fetch* fetch);
    void noteOutcome(const Fetch& fetch);
    void maybeStop();

private:
    void start();
    void onStart();
    static void onStarter(evutil_socket_t, short, void* arg) { static_cast<Load*>(arg)->onStart(); }

    Settings m_settings;
    EventBasePtr m_base;
    EventPtr m_starter;
    std::vector<uint8_t> m_scratch;
    std::unordered_set<Fetch*> m_live;
    uint32_t m_begin = 0;
    uint32_t m_started = 0;
    uint32_t m_target = 0;
    uint32_t m_lastDone = 0;
    bool m_stopping = false;
    uint32_t m_counts[7] = {};
    uint64_t m_bytes = 0;
    std::vector<uint32_t> m_firstBytes;
};

Fetch::Fetch(Load& load, uint32_t index)
    : m_load(load)
    , m_started(Clock::tickCount())
{
    const Settings& s = load.settings();
    sockaddr_in source {};
    source.sin_family = AF_INET;
    const uint32_t slot = index % s.spread;
    const uint32_t host = (static_cast<uint32_t>(127) << 24) | (static_cast<uint32_t>(s.sourceA) << 16)
        | ((s.sourceB + slot / 254) << 8) % 65536 | (1 + slot % 254);
    source.sin_addr.s_addr = htonl(host);
    m_socket.reset(::socket(AF_INET, (s.kcp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!m_socket.valid())
        return;
    if (::bind(m_socket.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0
        || (::connect(m_socket.get(), reinterpret_cast<const sockaddr*>(&s.target), s.targetLength) != 0
            && errno != EINPROGRESS)) {
        m_socket.reset();
        return;
    }
    event_base* base = load.base();
    m_read.reset(event_new(base, m_socket.get(), EV_READ | EV_PERSIST, &Fetch::readCallback, this));
    m_timer.reset(event_new(base, -1, 0, &Fetch::timerCallback, this));
    event_add(m_read.get(), nullptr);
    if (!s.kcp) {
        m_write.reset(event_new(base, m_socket.get(), EV_WRITE, &Fetch::writeCallback, this));
        event_add(m_write.get(), nullptr);
        armTimer(s.holdMs > 0 ? s.holdMs : s.timeoutMs);
        return;
    }
    if (s.expected > (256u << 10)) {
        const int bytes = ReceiveWindow * Mtu;
        setsockopt(m_socket.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    uint32_t conv = 0;
    evutil_secure_rng_get_bytes(&conv, sizeof conv);
    m_engine = KcpControlBlock::create(conv, this);
    if (!m_engine) {
        m_socket.reset();
        return;
    }
    m_engine->setMtu(Mtu);
    m_engine->setNoDelay(1, Interval, 2, 1);
    m_engine->setWindowSize(128, ReceiveWindow);
    m_engine->setStreamMode(true);
    m_engine->setOutput([](const uint8_t* data, int length, KcpControlBlock*, void* user) {
        ssize_t sent
            = ::send(static_cast<Fetch*>(user)->m_socket.get(), data, static_cast<size_t>(length), 0);
        (void)sent; // a refused datagram is resent like a lost one
    });
    m_engine->update(m_started);
    m_engine->open();
    if (s.holdMs == 0)
        sendRequest();
    armTimer(Interval);
}

Fetch::~Fetch()
{
    m_read.reset();
    m_write.reset();
    m_timer.reset();
    m_engine.reset();
}

void Fetch::armTimer(uint32_t ms)
{
    timeval tv { static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000) };
    event_add(m_timer.get(), &tv);
}

void Fetch::onWritable()
{
    m_connected = true;
    if (m_load.settings().holdMs == 0)
        sendRequest();
}

void Fetch::sendRequest()
{
    const std::string& request = m_load.settings().request;
    m_requestAt = Clock::tickCount();
    if (m_engine) {
        m_engine->send(request.data(), static_cast<int>(request.size()));
        m_engine->flush();
        return;
    }
    // A fresh connection takes a request this small whole.
    if (::send(m_socket.get(), request.data(), request.size(), MSG_NOSIGNAL)
        != static_cast<ssize_t>(request.size()))
        finish(Outcome::SocketError);
}

void Fetch::onReadable()
{
    if (m_engine) {
        kcpReceive();
        return;
    }
    std::vector<uint8_t>& buffer = m_load.scratch();
    for (;;) {
        const ssize_t n = ::recv(m_socket.get(), buffer.data(), buffer.size(), 0);
        if (n > 0) {
            consume(buffer.data(), static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && isTransient(errno))
            return;
        m_ended = n == 0;
        finish(n == 0 ? Outcome::Good : Outcome::SocketError);
        m_load.drop(this);
        return;
    }
}

void Fetch::kcpReceive()
{
    KcpControlBlock& kcp = *m_engine;
    uint8_t datagram[2048];
    for (;;) {
        const ssize_t n = ::recv(m_socket.get(), datagram, sizeof datagram, 0);
        if (n < 0)
            break;
        const bool established = kcp.isEstablished();
        m_datagramsIn += 1;
        m_lastIn = Clock::tickCount();
        kcp.input(datagram, n);
        if (!established && kcp.isEstablished()) {
            kcp.open();
            m_openWindow = kcp.rmtWnd();
        } else if (established && kcp.rmtWnd() > m_openWindow) {
            m_admitted = true;
        }
    }
    const uint32_t now = Clock::tickCount();
    kcp.update(now);
    std::vector<uint8_t>& buffer = m_load.scratch();
    int size;
    while ((size = kcp.peekSize()) > 0) {
        const int got = kcp.recv(buffer.data(), std::min<int>(size, static_cast<int>(buffer.size())));
        if (got <= 0)
            break;
        consume(buffer.data(), static_cast<size_t>(got));
    }
    if (!m_ended && kcp.isPeerClosedOnly()) {
        m_ended = true;
        kcp.close(); // our end at once, as the proxy does
        finish(Outcome::Good);
    }
    kcp.flush();
}

void Fetch::consume(const uint8_t* data, size_t length)
{
    if (m_firstByte == 0)
        m_firstByte = Clock::tickCount() | 1u;
    if (m_inBody) {
        m_body += length;
        return;
    }
    m_head.append(reinterpret_cast<const char*>(data), length);
    const size_t end = m_head.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (m_head.size() > HeadLimit)
            finish(Outcome::BadStatus);
        return;
    }
    m_inBody = true;
    if (m_head.compare(0, 9, "HTTP/1.1 ") == 0 || m_head.compare(0, 9, "HTTP/1.0 ") == 0)
        m_status = std::atoi(m_head.c_str() + 9);
    m_body = m_head.size() - end - 4;
    m_head.clear();
}

void Fetch::finish(Outcome outcome)
{
    if (m_outcome != Outcome::Pending)
        return;
    if (outcome == Outcome::Good && m_status != 200)
        outcome = Outcome::BadStatus;
    else if (outcome == Outcome::Good && m_body != m_load.settings().expected)
        outcome = Outcome::Short;
    m_outcome = outcome;
    m_doneAt = Clock::tickCount();
    m_load.noteOutcome(*this);
    m_load.maybeStop();
}

// What a fetch that timed out had got, on standard error, to find the fault.
void Fetch::describe() const
{
    sockaddr_in self {};
    socklen_t length = sizeof self;
    getsockname(m_socket.get(), reinterpret_cast<sockaddr*>(&self), &length);
    char address[INET_ADDRSTRLEN] = "?";
    evutil_inet_ntop(AF_INET, &self.sin_addr, address, sizeof address);
    std::fprintf(stderr, "timed out: from %s:%u", address, ntohs(self.sin_port));
    if (m_engine)
        std::fprintf(stderr,
            " conv %08x state %u snd-una %u snd-nxt %u rcv-nxt %u remote-window %u admitted %d",
            m_engine->conv(), m_engine->state(), m_engine->sndUna(), m_engine->sndNxt(), m_engine->rcvNxt(),
            m_engine->rmtWnd(), m_admitted ? 1 : 0);
    if (m_engine)
        std::fprintf(stderr, " time-outs %u, rto %d, datagrams in %u, the last %d ms after the request,",
            m_engine->xmit(), m_engine->rxRto(), m_datagramsIn, static_cast<int32_t>(m_lastIn - m_requestAt));
    std::fprintf(stderr, " requested %d, first byte %d, status %d, body %llu, ended %d\n", m_requestAt != 0,
        m_firstByte != 0, m_status, static_cast<unsigned long long>(m_body), m_ended ? 1 : 0);
}

void Fetch::onTimer()
{
    uint32_t now = Clock::tickCount();
    const Settings& s = m_load.settings();
    if (m_requestAt == 0 && now - m_started >= s.holdMs && (m_engine || m_connected)) {
        sendRequest();
        now = m_requestAt; // the request's clock may be a tick ahead: no wrap below
    }
    if (m_requestAt == 0 && m_engine && m_engine->isEstablished() && !m_admitted && now - m_lastAsk >= 300) {
        // An idle client that sends nothing more would never prove itself
        // again if its echo of the challenge were lost: asking for the
        // window pays for the relay's next challenge.
        m_lastAsk = now;
        uint8_t ask[KcpSegment::Overhead] = {};
        writeLe32(ask, m_engine->conv());
        ask[4] = static_cast<uint8_t>(KcpSegment::WindowAsk);
        writeLe16(ask + 6, static_cast<uint16_t>(m_engine->rcvWnd()));
        writeLe32(ask + 8, now);
        writeLe32(ask + 16, m_engine->rcvNxt());
        ssize_t sent = ::send(m_socket.get(), ask, sizeof ask, 0);
        (void)sent;
    }
    const uint32_t since = m_requestAt != 0 ? m_requestAt : m_started;
    if (m_outcome == Outcome::Pending && now - since >= s.timeoutMs + (m_requestAt != 0 ? 0 : s.holdMs)) {
        finish(m_engine && !m_engine->isEstablished() && m_engine->sndUna() == 0 ? Outcome::NoAnswer
                                                                                 : Outcome::Stalled);
        describe();
        m_load.drop(this);
        return;
    }
    if (!m_engine) {
        armTimer(m_requestAt != 0 ? s.timeoutMs - (now - m_requestAt) : 10);
        return;
    }
    KcpControlBlock& kcp = *m_engine;
    kcp.update(now);
    if (m_ended && kcp.waitSend() == 0) {
        if (now - m_doneAt >= LingerMs) {
            m_load.drop(this);
            return;
        }
        armTimer(LingerMs - (now - m_doneAt));
        return;
    }
    armTimer(kcp.waitSend() > 0 ? Interval : 100);
}

int Load::run()
{
    m_begin = Clock::tickCount();
    if (m_settings.atOnce > 0) {
        m_target = static_cast<uint32_t>(m_settings.atOnce);
        while (m_started < m_target)
            start();
    } else {
        m_target = static_cast<uint32_t>(m_settings.rate * m_settings.seconds + 0.5);
        timeval tick { 0, 1000 };
        event_add(m_starter.get(), &tick);
    }
    maybeStop();
    event_base_dispatch(m_base.get());
    for (Fetch* fetch : m_live)
        delete fetch;
    m_live.clear();

    std::sort(m_firstBytes.begin(), m_firstBytes.end());
    auto percentile = [&](double p) {
        if (m_firstBytes.empty())
            return 0.0;
        const size_t i = std::min(m_firstBytes.size() - 1, static_cast<size_t>(p * m_firstBytes.size()));
        return static_cast<double>(m_firstBytes[i]);
    };
    const uint32_t good = m_counts[static_cast<int>(Outcome::Good)];
    const double elapsed = std::max<uint32_t>(1, m_lastDone - m_begin) / 1000.0;
    uint32_t failed = 0;
    for (int i = 2; i < 7; ++i)
        failed += m_counts[i];
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const double cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    std::printf(
        "started=%u good=%u failed=%u no-answer=%u stalled=%u bad-status=%u short=%u socket-errors=%u "
        "seconds=%.3f per-second=%.1f first-byte-p50-ms=%.0f first-byte-p99-ms=%.0f body-bytes=%llu "
        "own-cpu-ms=%.0f\n",
        m_started, good, failed, m_counts[static_cast<int>(Outcome::NoAnswer)],
        m_counts[static_cast<int>(Outcome::Stalled)], m_counts[static_cast<int>(Outcome::BadStatus)],
        m_counts[static_cast<int>(Outcome::Short)], m_counts[static_cast<int>(Outcome::SocketError)], elapsed,
        good / elapsed, percentile(0.5), percentile(0.99), static_cast<unsigned long long>(m_bytes), cpuMs);
    return 0;
}

void Load::start()
{
    auto fetch = std::make_unique<Fetch>(*this, m_started++);
    if (!fetch->valid()) {
        m_counts[static_cast<int>(Outcome::SocketError)] += 1;
        return;
    }
    m_live.insert(fetch.release());
}

void Load::onStart()
{
    const uint32_t elapsed = Clock::tickCount() - m_begin;
    const uint32_t due = std::min(m_target, static_cast<uint32_t>(m_settings.rate * elapsed / 1000.0) + 1);
    while (m_started < due)
        start();
    if (m_started >= m_target) {
        event_del(m_starter.get());
        maybeStop();
    }
}

void Load::noteOutcome(const Fetch& fetch)
{
    m_counts[static_cast<int>(fetch.outcome())] += 1;
    if (fetch.outcome() == Outcome::Good) {
        m_firstBytes.push_back(fetch.firstByteMs());
        m_bytes += fetch.body();
        m_lastDone = fetch.doneAt();
    }
}

void Load::drop(Fetch* fetch)
{
    m_live.erase(fetch);
    delete fetch;
    if (m_stopping && m_live.empty())
        event_base_loopbreak(m_base.get());
}

// Once every fetch has its outcome, the lingering ones get their time to
// answer the last resends, no more.
void Load::maybeStop()
{
    if (m_started < m_target || m_stopping)
        return;
    uint32_t done = 0;
    for (uint32_t count : m_counts)
        done += count;
    if (done < m_started)
        return;
    m_stopping = true;
    if (m_live.empty()) {
        event_base_loopbreak(m_base.get());
        return;
    }
    timeval linger { LingerMs / 1000, (LingerMs % 1000) * 1000 };
    event_base_loopexit(m_base.get(), &linger);
}

int usage()
{
    std::fprintf(stderr,
        "usage: relay_load kcp|tcp ADDR:PORT HOST PATH BYTES [--at-once N | --rate R --seconds S]\n"
        "                  [--hold MS] [--timeout MS] [--sources A.B] [--spread N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 6)
        return usage();
    Settings s;
    const std::string mode = argv[1];
    if (mode != "kcp" && mode != "tcp")
        return usage();
    s.kcp = mode == "kcp";
    if (!parseSocketAddress(argv[2], s.target, s.targetLength))
        return usage();
    s.request
        = std::string("GET ") + argv[4] + " HTTP/1.1\r\nHost: " + argv[3] + "\r\nConnection: close\r\n\r\n";
    s.expected = std::strtoull(argv[5], nullptr, 10);
    for (int i = 6; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--at-once")
            s.atOnce = std::atoi(value);
        else if (option == "--rate")
            s.rate = std::atof(value);
        else if (option == "--seconds")
            s.seconds = std::atof(value);
        else if (option == "--hold")
            s.holdMs = static_cast<uint32_t>(std::atoi(value));
        else if (option == "--timeout")
            s.timeoutMs = static_cast<uint32_t>(std::atoi(value));
        else if (option == "--spread")
            s.spread = std::max(1, std::atoi(value));
        else if (option == "--sources" && std::sscanf(value, "%hhu.%hhu", &s.sourceA, &s.sourceB) == 2)
            continue;
        else
            return usage();
    }
    if (s.atOnce <= 0 && (s.rate <= 0 || s.seconds <= 0))
        return usage();
    evutil_secure_rng_init();
    return Load(s).run();
}
