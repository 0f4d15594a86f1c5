#include "relay/KcpRelay.h"

#include "base/ByteOrder.h"
#include "base/Clock.h"
#include "base/Logger.h"
#include "transport/KcpControlBlock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

Logger logRelay("KcpRelay", &rootLogger);

namespace {

// The client's mtu: its receive buffer holds no larger datagram.
constexpr int Mtu = 1360;

constexpr uint32_t MaxDelay = 1000;
constexpr int SocketBuffer = 4 << 20;
constexpr int DatagramsPerRun = 1024; // then other sockets get a turn

// IP and UDP headers: an unproven address is answered with no more bytes on
// the wire than it sent, so each datagram counts with them.
constexpr size_t Ipv4DatagramOverhead = 20 + 8;
constexpr size_t Ipv6DatagramOverhead = 40 + 8;
// The receive window while the client's address is unproven: its request
// fits, and a forged conversation holds little.
constexpr int UnprovenWindow = 32;
constexpr uint32_t FirstProbeWait = 200; // ms; doubled for each resent challenge

inline int32_t timeDiff(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b);
}

std::string addressText(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address->sa_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(address);
        evutil_inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (address->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        evutil_inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    return "?";
}

// The address bytes of a client (their length tells the family): sockaddr
// padding never takes part.
std::string sourceKey(const sockaddr_storage& from)
{
    if (from.ss_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(&from);
        return std::string(reinterpret_cast<const char*>(&in->sin_addr), sizeof in->sin_addr);
    }
    if (from.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(&from);
        return std::string(reinterpret_cast<const char*>(&in6->sin6_addr), sizeof in6->sin6_addr);
    }
    return std::string();
}

// The client's address and port, then the conversation id.
std::string conversationKey(const sockaddr_storage& from, uint32_t conv)
{
    std::string key = sourceKey(from);
    if (from.ss_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(&from);
        key.append(reinterpret_cast<const char*>(&in->sin_port), sizeof in->sin_port);
    } else if (from.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(&from);
        key.append(reinterpret_cast<const char*>(&in6->sin6_port), sizeof in6->sin6_port);
    }
    key.append(reinterpret_cast<const char*>(&conv), sizeof conv);
    return key;
}

bool splitHostPort(const std::string& text, std::string& host, std::string& port)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size())
        return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return !host.empty();
}

std::string toLower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size()
        && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The server name extension of a complete ClientHello body (after the
// 4-byte handshake header).
SniffResult serverNameOfClientHello(const uint8_t* p, size_t length, std::string& host)
{
    size_t at = 2 + 32; // version, random
    if (at + 1 > length)
        return SniffResult::NotFound;
    at += 1 + p[at]; // session id
    if (at + 2 > length)
        return SniffResult::NotFound;
    at += 2 + ((p[at] << 8) | p[at + 1]); // cipher suites
    if (at + 1 > length)
        return SniffResult::NotFound;
    at += 1 + p[at]; // compression methods
    if (at + 2 > length)
        return SniffResult::NotFound;
    size_t end = std::min(length, at + 2 + ((p[at] << 8) | p[at + 1]));
    at += 2;
    while (at + 4 <= end) {
        const unsigned type = (p[at] << 8) | p[at + 1];
        const size_t size = (p[at + 2] << 8) | p[at + 3];
        at += 4;
        if (at + size > end)
            return SniffResult::NotFound;
        if (type == 0) {
            // server_name_list: length, then (name type, length, name) entries.
            size_t item = at + 2;
            while (item + 3 <= at + size) {
                const unsigned nameType = p[item];
                const size_t nameLength = (p[item + 1] << 8) | p[item + 2];
                item += 3;
                if (item + nameLength > at + size)
                    return SniffResult::NotFound;
                if (nameType == 0 && nameLength > 0) {
                    host = toLower(std::string(reinterpret_cast<const char*>(p + item), nameLength));
                    return SniffResult::Found;
                }
                item += nameLength;
            }
            return SniffResult::NotFound;
        }
        at += size;
    }
    return SniffResult::NotFound;
}

SniffResult sniffTls(const uint8_t* data, size_t length, std::string& host)
{
    // Handshake bytes gathered from consecutive handshake records.
    std::vector<uint8_t> handshake;
    size_t at = 0;
    while (at + 5 <= length && data[at] == 0x16) {
        const size_t record = (data[at + 3] << 8) | data[at + 4];
        if (at + 5 + record > length) {
            handshake.insert(handshake.end(), data + at + 5, data + length);
            at = length;
            break;
        }
        handshake.insert(handshake.end(), data + at + 5, data + at + 5 + record);
        at += 5 + record;
        if (handshake.size() >= 4) {
            const size_t body = (handshake[1] << 16) | (handshake[2] << 8) | handshake[3];
            if (handshake.size() >= 4 + body)
                break;
        }
    }
    if (handshake.size() < 4) {
        return at < length && data[at] != 0x16 ? SniffResult::NotFound : SniffResult::NeedMore;
    }
    if (handshake[0] != 1) // not a ClientHello
        return SniffResult::NotFound;
    const size_t body = (handshake[1] << 16) | (handshake[2] << 8) | handshake[3];
    if (handshake.size() < 4 + body)
        return at < length ? SniffResult::NotFound : SniffResult::NeedMore;
    return serverNameOfClientHello(handshake.data() + 4, body, host);
}

SniffResult sniffHttp(const uint8_t* data, size_t length, std::string& host)
{
    const char* text = reinterpret_cast<const char*>(data);
    const std::string head(text, length);
    const size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos)
        return SniffResult::NeedMore;
    size_t line = head.find("\r\n");
    while (line != std::string::npos && line < end) {
        const size_t start = line + 2;
        const size_t next = head.find("\r\n", start);
        const std::string header = head.substr(start, next - start);
        const size_t colon = header.find(':');
        if (colon != std::string::npos && toLower(header.substr(0, colon)) == "host") {
            std::string value = header.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t") + 1);
            if (!value.empty() && value.front() == '[') {
                value = value.substr(1, value.find(']') - 1);
            } else if (std::count(value.begin(), value.end(), ':') == 1) {
                value = value.substr(0, value.find(':'));
            }
            if (value.empty())
                return SniffResult::NotFound;
            host = toLower(value);
            return SniffResult::Found;
        }
        line = next;
    }
    return SniffResult::NotFound;
}

} // namespace

SniffResult sniffTargetHost(const uint8_t* data, size_t length, std::string& host)
{
    if (length == 0)
        return SniffResult::NeedMore;
    if (data[0] == 0x16)
        return sniffTls(data, length, host);
    return sniffHttp(data, length, host);
}

bool relayRouteMatches(const std::string& suffix, const std::string& host)
{
    std::string name = toLower(suffix);
    if (!name.empty() && name.front() == '.')
        name.erase(0, 1);
    if (name.empty())
        return false;
    const std::string lowered = toLower(host);
    return lowered == name || endsWith(lowered, "." + name);
}

// ---------------------------------------------------------------------------
// One conversation: its engine, its upstream TCP connection and the bytes
// waiting for that upstream.

class KcpRelay::Conversation {
public:
    Conversation(KcpRelay& relay, std::string key, std::string source, uint32_t conv,
        const sockaddr_storage& peer, socklen_t length);
    ~Conversation();
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    bool valid() const { return static_cast<bool>(m_engine) && m_timer; }
    bool answered() const { return m_answered; }
    const std::string& key() const { return m_key; }
    const std::string& source() const { return m_source; }
    size_t heldBytes() const
    {
        const KcpControlBlock& kcp = *m_engine;
        const size_t segments = kcp.nSndBuf() + kcp.nSndQue() + kcp.nRcvBuf() + kcp.nRcvQue();
        return segments * kcp.mss() + evbuffer_get_length(m_toUpstream.get());
    }
    // False when the conversation is to be dropped (a wrong echo of the
    // challenge, or no room once proven).
    bool input(uint8_t* data, size_t length);

private:
    friend class KcpRelay; // the unproven list
    enum class Echo { None, Matched, Wrong };
    Echo checkEcho(uint8_t* data, size_t length);
    bool asksWindow(const uint8_t* data, size_t length) const;
    void send(const uint8_t* data, size_t size);
    void sendUnproven(const uint8_t* data, size_t size);
    void sendControl(uint32_t cmd, uint32_t ts, uint32_t una);
    void probe(uint32_t now);
    void clientToUpstream();
    void writeUpstream();
    void upstreamToClient();
    void resumeUpstreamRead();
    bool proveAddress(uint32_t now);
    void noteQuietLine(uint32_t now);
    void releaseSource();
    void tryRoute(bool deadline);
    void connectUpstream(const Target& target, const std::string& host);
    void upstreamConnected(short flags);
    void failUpstream(const char* what, int error);
    void endClientStream();
    void closeUpstream();
    void ackClocked();
    void handleTimer();
    void armTimer();
    void armForPacer();
    size_t sendLimit() const { return m_engine->sndWnd(); }

    static void onTimer(evutil_socket_t, short, void* arg) { static_cast<Conversation*>(arg)->handleTimer(); }
    static void onUpstreamRead(evutil_socket_t, short, void* arg)
    {
        static_cast<Conversation*>(arg)->upstreamToClient();
    }
    static void onUpstreamWrite(evutil_socket_t, short flags, void* arg)
    {
        static_cast<Conversation*>(arg)->upstreamConnected(flags);
    }

    KcpRelay& m_relay;
    std::string m_key;
    std::string m_source; // the client's address
    bool m_holdsSource = false; // one of the address's live slots, taken once proven
    bool m_listedUnproven = true;
    std::list<Conversation*>::iterator m_unprovenAt;
    bool m_listedFinished = false;
    std::list<Conversation*>::iterator m_finishedEntry;
    uint32_t m_conv;
    sockaddr_storage m_peer;
    socklen_t m_peerLength;
    std::string m_peerText;
    std::string m_upstreamName;

    UniqueSocket m_upstream;
    KcpControlBlockPtr m_engine;
    EvBufferPtr m_toUpstream;
    EventPtr m_upstreamRead;
    EventPtr m_upstreamWrite;
    EventPtr m_timer;

    bool m_answered = false;
    bool m_proved = false; // the client receives at its address: the upstream may be reached
    bool m_routing = false; // waiting for the bytes that choose the upstream
    bool m_connected = false; // the upstream accepted the connection
    bool m_readPaused = false; // the engine holds a full send window
    bool m_upstreamEnded = false; // no more upstream bytes: our marker is queued
    bool m_clientEnded = false; // the client's marker has been reached
    bool m_upstreamShut = false; // the client's end was passed on with a half-close
    bool m_upstreamFailed = false;
    // Opened ahead of its request: no upstream until the client starts
    // (a byte, or a window ask for a protocol whose server speaks first).
    bool m_held = false;
    uint32_t m_startedAt = 0; // when a held conversation started; lowest bit forced
    uint32_t m_created;
    uint32_t m_lastActive;
    uint32_t m_provedAt = 0;
    uint32_t m_challenge = 0; // random; the address is proven when an Ack echoes it
    bool m_challengeSent = false;
    uint32_t m_challengeSentAt = 0; // our clock when it last went out, for the rtt
    uint32_t m_nextProbe = 0;
    uint32_t m_probeWait = FirstProbeWait;
    size_t m_datagramOverhead;
    uint64_t m_unprovenIn = 0; // bytes on the wire from the address, before the proof
    uint64_t m_unprovenOut = 0; // and to it
    uint32_t m_ackWaitSince; // since when segments in flight wait for any acknowledgement
    uint32_t m_finishedAt = 0; // lowest bit forced, so never 0 once set
    uint32_t m_delay = 0;
    uint64_t m_bytesUp = 0;
    uint64_t m_bytesDown = 0;
};

KcpRelay::Conversation::Conversation(KcpRelay& relay, std::string key, std::string source, uint32_t conv,
    const sockaddr_storage& peer, socklen_t length)
    : m_relay(relay)
    , m_key(std::move(key))
    , m_source(std::move(source))
    , m_conv(conv)
    , m_peer(peer)
    , m_peerLength(length)
    , m_peerText(addressText(reinterpret_cast<const sockaddr*>(&peer)))
    , m_engine(KcpControlBlock::create(conv, this))
    , m_toUpstream(evbuffer_new())
    , m_timer(event_new(relay.m_base, -1, 0, &Conversation::onTimer, this))
    , m_created(Clock::tickCount())
    , m_lastActive(m_created)
    , m_datagramOverhead(peer.ss_family == AF_INET6 ? Ipv6DatagramOverhead : Ipv4DatagramOverhead)
    , m_ackWaitSince(m_created)
{
    m_unprovenAt = m_relay.m_unproven.insert(m_relay.m_unproven.end(), this);
    m_relay.m_unprovenBySource[m_source] += 1;
    evutil_secure_rng_get_bytes(&m_challenge, sizeof m_challenge);
    m_nextProbe = m_created;
    if (!m_engine)
        return;
    m_engine->setMtu(Mtu);
    const KcpSendProfile& profile = relay.m_options.profile;
    m_engine->setNoDelay(profile.noDelay, profile.interval, profile.fastResend, profile.noCwnd);
    // The full window (capped by start()) once the address is proven.
    m_engine->setWindowSize(profile.sendWindow, std::min(profile.receiveWindow, UnprovenWindow));
    m_engine->setPacing(profile.pacing != 0);
    m_engine->setAckRepeat(profile.ackRepeat != 0);
    m_delay = m_engine->interval();
    m_engine->setStreamMode(true);
    m_engine->setOutput([](const uint8_t* data, int size, KcpControlBlock*, void* user) {
        static_cast<Conversation*>(user)->send(data, static_cast<size_t>(size));
    });
    m_engine->update(m_created);
}

KcpRelay::Conversation::~Conversation()
{
    m_relay.unlistUnproven(this);
    if (m_listedFinished)
        m_relay.m_finished.erase(m_finishedEntry);
    releaseSource();
    m_upstreamRead.reset();
    m_upstreamWrite.reset();
    m_timer.reset();
}

void KcpRelay::Conversation::releaseSource()
{
    if (!m_holdsSource)
        return;
    m_holdsSource = false;
    m_relay.releaseSource(m_source);
}

// Nothing in flight, so nothing is owed: the wait for acknowledgements
// starts with the next segment sent.
void KcpRelay::Conversation::noteQuietLine(uint32_t now)
{
    if (m_engine->nSndBuf() == 0)
        m_ackWaitSince = now;
}

bool KcpRelay::Conversation::input(uint8_t* data, size_t length)
{
    const uint32_t now = Clock::tickCount();
    KcpControlBlock& kcp = *m_engine;
    if (!m_proved)
        m_unprovenIn += length + m_datagramOverhead;
    const Echo echo = checkEcho(data, length);
    if (echo == Echo::Wrong && !m_proved) {
        logRelay.debug(
            "conversation %08x from %s: wrong challenge echoed, dropped", m_conv, m_peerText.c_str());
        m_relay.m_stats.unprovenDropped += 1;
        return false;
    }
    m_lastActive = now;
    noteQuietLine(now);
    if (m_held && m_proved && m_startedAt == 0 && asksWindow(data, length))
        m_startedAt = now | 1u;
    const uint32_t unaBefore = kcp.sndUna();
    const uint32_t inFlightBefore = kcp.nSndBuf();
    // The clock first: acks are timed against it.
    kcp.update(now);
    kcp.input(data, static_cast<long>(length));
    if (kcp.sndUna() != unaBefore || kcp.nSndBuf() < inFlightBefore)
        m_ackWaitSince = now;
    if (!m_answered && kcp.isEstablished()) {
        m_answered = true;
        kcp.open();
        logRelay.debug("conversation %08x from %s opened", m_conv, m_peerText.c_str());
    }
    if (!m_answered)
        return true;
    if (!m_proved && echo == Echo::Matched && !proveAddress(now))
        return false;
    if (!m_proved) {
        // The client has our Open (una), yet its echo has not come: lost.
        if (kcp.sndUna() > 0 && timeDiff(now, m_nextProbe) >= 0)
            probe(now);
        armTimer();
        return true;
    }
    kcp.update(now);
    clientToUpstream();
    resumeUpstreamRead();
    ackClocked();
    m_delay = std::max(std::min(m_delay / 2, MaxDelay), m_engine->interval());
    armTimer();
    return true;
}

// Finds the Acks of our sequence number 0 (our Open, or the empty Push that
// resends the challenge). One that echoes the challenge gets our send time
// back in its ts, so that the engine's rtt stays true; any other is a guess.
KcpRelay::Conversation::Echo KcpRelay::Conversation::checkEcho(uint8_t* data, size_t length)
{
    Echo echo = Echo::None;
    uint8_t* p = data;
    size_t remaining = length;
    while (remaining >= KcpSegment::Overhead && readLe32(p) == m_conv) {
        const size_t len = readLe32(p + 20);
        if (len > remaining - KcpSegment::Overhead)
            break;
        if (p[4] == KcpSegment::Ack && readLe32(p + 12) == 0) {
            if (m_challengeSent && readLe32(p + 8) == m_challenge) {
                writeLe32(p + 8, m_challengeSentAt);
                if (echo == Echo::None)
                    echo = Echo::Matched;
            } else {
                echo = Echo::Wrong;
            }
        }
        p += KcpSegment::Overhead + len;
        remaining -= KcpSegment::Overhead + len;
    }
    return echo;
}

bool KcpRelay::Conversation::asksWindow(const uint8_t* data, size_t length) const
{
    while (length >= KcpSegment::Overhead && readLe32(data) == m_conv) {
        if (data[4] == KcpSegment::WindowAsk)
            return true;
        const size_t size = KcpSegment::Overhead + readLe32(data + 20);
        if (size > length)
            break;
        data += size;
        length -= size;
    }
    return false;
}

void KcpRelay::Conversation::send(const uint8_t* data, size_t size)
{
    if (!m_proved) {
        sendUnproven(data, size);
        return;
    }
    // A refused datagram is lost like any other; the engine resends it.
    ssize_t sent = ::sendto(
        m_relay.m_socket.get(), data, size, 0, reinterpret_cast<const sockaddr*>(&m_peer), m_peerLength);
    (void)sent;
}

// What the engine sends before the proof, cut to what the address paid for:
// our Open first, with the challenge as its ts, then acks and window
// reports while they fit. Acks of the client's data are held back, and our
// una claims no more than its Open, so that its data keeps coming until the
// proof. Whatever is cut, the engine resends or the client asks again.
void KcpRelay::Conversation::sendUnproven(const uint8_t* data, size_t size)
{
    const uint64_t budget = m_unprovenIn > m_unprovenOut ? m_unprovenIn - m_unprovenOut : 0;
    uint8_t out[2 * Mtu];
    size_t used = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const uint8_t* p = data;
        size_t remaining = size;
        while (remaining >= KcpSegment::Overhead) {
            const size_t length = KcpSegment::Overhead + readLe32(p + 20);
            if (length > remaining)
                break;
            const uint8_t cmd = p[4];
            const bool open = cmd == KcpSegment::Open;
            const bool heldAck = cmd == KcpSegment::Ack && readLe32(p + 12) != 0;
            if (open == (pass == 0) && !heldAck && cmd != KcpSegment::Push
                && used + length + m_datagramOverhead <= budget && used + length <= sizeof out) {
                uint8_t* segment = out + used;
                std::memcpy(segment, p, length);
                if (open) {
                    m_challengeSentAt = readLe32(segment + 8);
                    m_challengeSent = true;
                    writeLe32(segment + 8, m_challenge);
                }
                writeLe32(segment + 16, 1);
                used += length;
            }
            p += length;
            remaining -= length;
        }
    }
    if (used == 0)
        return;
    m_unprovenOut += used + m_datagramOverhead;
    ssize_t sent = ::sendto(
        m_relay.m_socket.get(), out, used, 0, reinterpret_cast<const sockaddr*>(&m_peer), m_peerLength);
    (void)sent;
}

// One header-only segment of our own, with our receive window and una.
void KcpRelay::Conversation::sendControl(uint32_t cmd, uint32_t ts, uint32_t una)
{
    const KcpControlBlock& kcp = *m_engine;
    uint8_t segment[KcpSegment::Overhead] = {};
    writeLe32(segment, m_conv);
    segment[4] = static_cast<uint8_t>(cmd);
    writeLe16(segment + 6, kcp.nRcvQue() < kcp.rcvWnd() ? kcp.rcvWnd() - kcp.nRcvQue() : 0);
    writeLe32(segment + 8, ts);
    writeLe32(segment + 16, una);
    ssize_t sent = ::sendto(m_relay.m_socket.get(), segment, sizeof segment, 0,
        reinterpret_cast<const sockaddr*>(&m_peer), m_peerLength);
    (void)sent;
}

// Resends the challenge in an empty Push with sequence number 0: below the
// client's next expected number once it has our Open, so it is acknowledged
// (echoing its ts) and dropped, never taken for an end of stream. Paid for
// by the address like every answer before the proof.
void KcpRelay::Conversation::probe(uint32_t now)
{
    if (m_unprovenOut + KcpSegment::Overhead + m_datagramOverhead > m_unprovenIn)
        return;
    m_unprovenOut += KcpSegment::Overhead + m_datagramOverhead;
    m_challengeSent = true;
    m_challengeSentAt = now;
    sendControl(KcpSegment::Push, m_challenge, 1);
    m_nextProbe = now + m_probeWait;
    m_probeWait *= 2;
}

// Acknowledgements, newly allowed segments and fast resends go out on
// arrival instead of at the next tick, so the transfer is clocked by the
// client's acks and a hole holding the window back is repaired at once.
void KcpRelay::Conversation::ackClocked()
{
    m_engine->flush();
    armForPacer();
}

void KcpRelay::Conversation::armTimer()
{
    const int32_t pace = m_engine->paceWait();
    const uint32_t delay = pace >= 0 ? std::min(m_delay, static_cast<uint32_t>(pace)) : m_delay;
    timeval tv { static_cast<time_t>(delay / 1000), static_cast<suseconds_t>((delay % 1000) * 1000) };
    event_add(m_timer.get(), &tv);
}

// Paced segments wait for their turn, which is sooner than the next tick:
// the timer is brought forward, never pushed back.
void KcpRelay::Conversation::armForPacer()
{
    const int32_t pace = m_engine->paceWait();
    if (pace >= 0)
        armTimerWithin(m_timer.get(), static_cast<uint32_t>(pace));
}

void KcpRelay::Conversation::clientToUpstream()
{
    KcpControlBlock& kcp = *m_engine;
    const bool windowWasFull = kcp.nRcvQue() >= kcp.rcvWnd();
    // Bytes for a failed upstream are read and dropped so that the
    // client's marker can still be reached.
    while (m_upstreamFailed || evbuffer_get_length(m_toUpstream.get()) < UpstreamQueueLimit) {
        const int size = kcp.peekSize();
        if (size < 0)
            break;
        if (size == 0) {
            if (!m_clientEnded)
                logRelay.debug("conversation %08x: client ended its stream", m_conv);
            m_clientEnded = true;
            break;
        }
        evbuffer_iovec space;
        if (evbuffer_reserve_space(m_toUpstream.get(), size, &space, 1) < 1)
            break;
        const int got = kcp.recv(space.iov_base, size);
        if (got <= 0)
            break;
        space.iov_len = static_cast<size_t>(got);
        evbuffer_commit_space(m_toUpstream.get(), &space, 1);
        m_bytesUp += static_cast<uint64_t>(got);
        if (m_startedAt == 0)
            m_startedAt = Clock::tickCount() | 1u;
        if (m_upstreamFailed)
            evbuffer_drain(m_toUpstream.get(), static_cast<size_t>(got));
    }
    if (windowWasFull && kcp.nRcvQue() < kcp.rcvWnd())
        kcp.flush(); // the client would otherwise wait seconds to probe the window
    if (m_routing)
        tryRoute(false);
    if (m_connected)
        writeUpstream();
}

void KcpRelay::Conversation::writeUpstream()
{
    evbuffer* queue = m_toUpstream.get();
    while (evbuffer_get_length(queue) > 0) {
        evbuffer_iovec chunks[16];
        const int count = evbuffer_peek(queue, -1, nullptr, chunks, 16);
        msghdr message {};
        message.msg_iov = reinterpret_cast<iovec*>(chunks);
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t n = ::sendmsg(m_upstream.get(), &message, MSG_NOSIGNAL);
        if (n < 0) {
            const int error = errno;
            if (isTransient(error) || error == EINPROGRESS) // still connecting
                break;
            failUpstream("write", error);
            return;
        }
        evbuffer_drain(queue, static_cast<size_t>(n));
        m_lastActive = Clock::tickCount();
    }
    if (evbuffer_get_length(queue) > 0) {
        event_add(m_upstreamWrite.get(), nullptr);
    } else if (m_clientEnded && !m_upstreamShut) {
        // The client will send nothing more: pass its end on, keep reading.
        ::shutdown(m_upstream.get(), SHUT_WR);
        m_upstreamShut = true;
    }
}

void KcpRelay::Conversation::upstreamToClient()
{
    KcpControlBlock& kcp = *m_engine;
    std::vector<uint8_t>& buffer = m_relay.m_scratch;
    noteQuietLine(Clock::tickCount());
    while (!m_upstreamEnded && static_cast<size_t>(kcp.waitSend()) < sendLimit()) {
        const ssize_t n = ::recv(m_upstream.get(), buffer.data(), buffer.size(), 0);
        if (n > 0) {
            kcp.send(buffer.data(), static_cast<int>(n));
            m_bytesDown += static_cast<uint64_t>(n);
            m_lastActive = Clock::tickCount();
            continue;
        }
        if (n < 0 && (isTransient(errno) || errno == EINPROGRESS))
            break;
        if (n < 0)
            logRelay.debug(
                "conversation %08x: upstream read failed: %s", m_conv, evutil_socket_error_to_string(errno));
        endClientStream();
        break;
    }
    if (!m_upstreamEnded && static_cast<size_t>(kcp.waitSend()) >= sendLimit() && !m_readPaused) {
        event_del(m_upstreamRead.get());
        m_readPaused = true;
    }
    ackClocked();
}

void KcpRelay::Conversation::resumeUpstreamRead()
{
    if (m_readPaused && !m_upstreamEnded && static_cast<size_t>(m_engine->waitSend()) < sendLimit()) {
        m_readPaused = false;
        event_add(m_upstreamRead.get(), nullptr);
    }
}

// The upstream sent everything it will: our marker follows its last byte.
void KcpRelay::Conversation::endClientStream()
{
    if (m_upstreamEnded)
        return;
    m_upstreamEnded = true;
    if (m_upstreamRead)
        event_del(m_upstreamRead.get());
    m_engine->close();
    logRelay.debug(
        "conversation %08x: upstream ended, down=%llu", m_conv, static_cast<unsigned long long>(m_bytesDown));
}

bool KcpRelay::Conversation::proveAddress(uint32_t now)
{
    if (!m_relay.admit(this))
        return false;
    m_proved = true;
    m_provedAt = now;
    KcpControlBlock& kcp = *m_engine;
    kcp.setWindowSize(static_cast<int>(kcp.sndWnd()), m_relay.m_options.profile.receiveWindow);
    // Debug: at info level one line per conversation, when it ends, is enough.
    logRelay.debug("conversation %08x from %s proven", m_conv, m_peerText.c_str());
    // The true una and the full window at once: the client's data held so
    // far need not wait for its resend to be acknowledged, and a client
    // that opened ahead learns that this conversation may carry a request.
    sendControl(KcpSegment::WindowTell, 0, kcp.rcvNxt());
    if (m_held) {
        m_routing = true; // a conversation that has not started goes nowhere yet
    } else if (m_relay.m_routes.empty()) {
        connectUpstream(m_relay.m_fallback, std::string());
    } else {
        m_routing = true;
    }
    return true;
}

void KcpRelay::Conversation::tryRoute(bool deadline)
{
    evbuffer* queue = m_toUpstream.get();
    if (m_held && m_bytesUp == 0 && m_clientEnded) {
        // Opened ahead and never used: no upstream to open just to close.
        m_routing = false;
        endClientStream();
        return;
    }
    if (m_held && m_startedAt == 0)
        return;
    if (m_held && m_relay.m_routes.empty())
        deadline = true; // nothing to choose from
    const size_t length = std::min(evbuffer_get_length(queue), RouteSniffLimit);
    std::string host;
    SniffResult result = SniffResult::NeedMore;
    if (length > 0)
        result = sniffTargetHost(evbuffer_pullup(queue, static_cast<ssize_t>(length)), length, host);
    if (result == SniffResult::NeedMore && !deadline && length < RouteSniffLimit && !m_clientEnded)
        return;
    m_routing = false;
    connectUpstream(m_relay.chooseTarget(host), host);
}

void KcpRelay::Conversation::connectUpstream(const Target& target, const std::string& host)
{
    m_upstreamName = target.name;
    logRelay.debug("conversation %08x: upstream %s%s%s", m_conv, target.name.c_str(),
        host.empty() ? "" : " for ", host.c_str());
    m_upstream.reset(::socket(target.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!m_upstream.valid()) {
        failUpstream("socket", errno);
        return;
    }
    int one = 1;
    setsockopt(m_upstream.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(m_upstream.get(), reinterpret_cast<const sockaddr*>(&target.address), target.length) != 0
        && errno != EINPROGRESS) {
        failUpstream("connect", errno);
        return;
    }
    m_upstreamRead.reset(event_new(
        m_relay.m_base, m_upstream.get(), EV_READ | EV_PERSIST, &Conversation::onUpstreamRead, this));
    m_upstreamWrite.reset(
        event_new(m_relay.m_base, m_upstream.get(), EV_WRITE, &Conversation::onUpstreamWrite, this));
    timeval tv { m_relay.m_options.upstreamConnectSeconds, 0 };
    event_add(m_upstreamWrite.get(), &tv);
}

void KcpRelay::Conversation::upstreamConnected(short flags)
{
    if (!m_connected) {
        int error = 0;
        if (flags & EV_TIMEOUT) {
            error = ETIMEDOUT;
        } else {
            socklen_t length = sizeof error;
            if (getsockopt(m_upstream.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
        if (error != 0) {
            failUpstream("connect", error);
            return;
        }
        m_connected = true;
        event_add(m_upstreamRead.get(), nullptr);
    }
    writeUpstream();
    if (!m_upstreamFailed)
        clientToUpstream();
}

void KcpRelay::Conversation::failUpstream(const char* what, int error)
{
    logRelay.warn("conversation %08x: upstream %s %s failed: %s", m_conv, m_upstreamName.c_str(), what,
        evutil_socket_error_to_string(error));
    m_relay.m_stats.upstreamFailures += 1;
    m_upstreamFailed = true;
    m_routing = false;
    closeUpstream();
    evbuffer_drain(m_toUpstream.get(), evbuffer_get_length(m_toUpstream.get()));
    endClientStream();
    clientToUpstream();
}

void KcpRelay::Conversation::closeUpstream()
{
    m_upstreamRead.reset();
    m_upstreamWrite.reset();
    m_upstream.reset();
    m_connected = false;
}

void KcpRelay::Conversation::handleTimer()
{
    const uint32_t now = Clock::tickCount();
    KcpControlBlock& kcp = *m_engine;
    noteQuietLine(now);
    kcp.update(now);
    if (!m_proved) {
        if (now - m_created >= m_relay.m_options.unprovenMs) {
            logRelay.debug(
                "conversation %08x from %s not proven in time, dropped", m_conv, m_peerText.c_str());
            m_relay.m_stats.unprovenDropped += 1;
            m_relay.forget(this);
            return;
        }
        if (kcp.sndUna() > 0 && timeDiff(now, m_nextProbe) >= 0)
            probe(now);
    }
    resumeUpstreamRead();
    // A held conversation's wait counts from its start, not its proof.
    const uint32_t routeClock = m_held ? m_startedAt : m_provedAt;
    if (m_routing && (!m_held || m_startedAt != 0) && now - routeClock >= m_relay.m_options.routeWaitMs)
        tryRoute(true);

    // A client that ended first and then went (one that exits, or drops a
    // spare it opened ahead) never acknowledges our marker: once every byte
    // before it is acknowledged, the marker alone must not hold the
    // address's slot until the silence time-out. It is still resent while
    // the conversation lingers.
    const bool onlyMarkerOwed = kcp.waitSend() == 1 && kcp.nSndBuf() == 1 && kcp.sndUna() + 1 == kcp.sndNxt()
        && (kcp.state() & KcpControlBlock::LocalClosed) != 0;
    if (m_finishedAt == 0 && m_upstreamEnded && m_clientEnded && (kcp.waitSend() == 0 || onlyMarkerOwed)) {
        // Both markers are through; only resends remain to be answered.
        m_finishedAt = now | 1u;
        closeUpstream();
        releaseSource(); // a finished conversation holds next to nothing
        m_finishedEntry = m_relay.m_finished.insert(m_relay.m_finished.end(), this);
        m_listedFinished = true;
        logRelay.info(
            "conversation %08x from %s finished: up=%llu, down=%llu, segments=%u, time-outs=%u, srtt=%d, "
            "min-rtt=%u, bottleneck=%.0f kB/s, loss=%.3f",
            m_conv, m_peerText.c_str(), static_cast<unsigned long long>(m_bytesUp),
            static_cast<unsigned long long>(m_bytesDown), kcp.sndNxt(), kcp.xmit(), kcp.rxSrtt(),
            kcp.minRtt(), kcp.bottleneckRate(), kcp.lossShare());
    }
    // Signed: m_finishedAt may lie 1 ms ahead of now (its forced low bit).
    if (m_finishedAt != 0
        && static_cast<int32_t>(now - m_finishedAt) >= static_cast<int32_t>(m_relay.m_options.lingerMs)) {
        logRelay.debug("conversation %08x from %s forgotten", m_conv, m_peerText.c_str());
        m_relay.m_stats.finished += 1;
        m_relay.forget(this);
        return;
    }
    const uint32_t idleLimit = static_cast<uint32_t>(m_relay.m_options.idleTimeoutSeconds) * 1000u;
    if (idleLimit > 0 && now - m_lastActive >= idleLimit) {
        logRelay.info("conversation %08x from %s idle for %d s, dropped: up=%llu, down=%llu", m_conv,
            m_peerText.c_str(), m_relay.m_options.idleTimeoutSeconds,
            static_cast<unsigned long long>(m_bytesUp), static_cast<unsigned long long>(m_bytesDown));
        m_relay.m_stats.idleDropped += 1;
        m_relay.forget(this);
        return;
    }
    // Without this, a vanished client would be resent to until the idle
    // time-out, or for ever with none; an unanswered Open ends here too.
    if (kcp.nSndBuf() > 0 && now - m_ackWaitSince >= m_relay.m_options.noAckTimeoutMs) {
        logRelay.info("conversation %08x from %s acknowledged nothing for %u ms, dropped: up=%llu, down=%llu",
            m_conv, m_peerText.c_str(), m_relay.m_options.noAckTimeoutMs,
            static_cast<unsigned long long>(m_bytesUp), static_cast<unsigned long long>(m_bytesDown));
        m_relay.m_stats.silentDropped += 1;
        m_relay.forget(this);
        return;
    }
    // Unacknowledged segments are resent from update(): keep ticking at the
    // engine's interval while any are out; back off only on a quiet line.
    m_delay = kcp.waitSend() > 0 ? kcp.interval() : std::max(std::min(m_delay * 2, MaxDelay), kcp.interval());
    if (!m_proved) // the challenge's resends and the short life are timed here
        m_delay = std::min(m_delay, FirstProbeWait);
    armTimer();
}

// ---------------------------------------------------------------------------
// KcpRelay

KcpRelay::KcpRelay(event_base* base, KcpRelayOptions options)
    : m_base(base)
    , m_options(std::move(options))
    , m_scratch(64 * 1024)
{
}

KcpRelay::~KcpRelay()
{
    m_socketEvent.reset();
    m_conversations.clear();
}

namespace {
bool resolveTarget(const std::string& text, std::string& name, sockaddr_storage& address, socklen_t& length,
    std::string& error)
{
    std::string host, port;
    if (!splitHostPort(text, host, port)) {
        error = "not HOST:PORT: " + text;
        return false;
    }
    evutil_addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    evutil_addrinfo* result = nullptr;
    int rc = evutil_getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
    if (rc != 0 || !result) {
        error = "can not resolve " + text + ": " + evutil_gai_strerror(rc);
        return false;
    }
    std::memset(&address, 0, sizeof address);
    std::memcpy(&address, result->ai_addr, result->ai_addrlen);
    length = static_cast<socklen_t>(result->ai_addrlen);
    evutil_freeaddrinfo(result);
    name = text;
    return true;
}
} // namespace

bool KcpRelay::start(std::string& error)
{
    if (!resolveTarget(m_options.upstream, m_fallback.name, m_fallback.address, m_fallback.length, error))
        return false;
    for (const auto& route : m_options.routes) {
        Target target;
        if (!resolveTarget(route.second, target.name, target.address, target.length, error))
            return false;
        m_routes.emplace_back(route.first, target);
    }

    if (m_options.profile.receiveWindow > maxReceiveWindow()) {
        logRelay.warn("receive window %d lowered to %d: at most %zu bytes are held from a client",
            m_options.profile.receiveWindow, maxReceiveWindow(), ReceiveBufferLimit);
        m_options.profile.receiveWindow = maxReceiveWindow();
    }

    // Every client's window arrives through this one socket.
    m_socket = bindUdpSocket(m_options.listen, SocketBuffer, error, m_options.reusePort);
    if (!m_socket.valid())
        return false;
    m_port = boundPort(m_socket.get());
    m_socketEvent.reset(
        event_new(m_base, m_socket.get(), EV_READ | EV_PERSIST, &KcpRelay::onDatagrams, this));
    event_add(m_socketEvent.get(), nullptr);
    logRelay.info("relay listening on %s (port %d), upstream %s, %d route(s)", m_options.listen.c_str(),
        m_port, m_fallback.name.c_str(), static_cast<int>(m_routes.size()));
    return true;
}

int KcpRelay::maxReceiveWindow()
{
    return static_cast<int>(ReceiveBufferLimit / (2 * (Mtu - KcpSegment::Overhead)));
}

size_t KcpRelay::heldBytes() const
{
    size_t total = 0;
    for (const auto& entry : m_conversations)
        total += entry.second->heldBytes();
    return total;
}

const KcpRelay::Target& KcpRelay::chooseTarget(const std::string& host) const
{
    if (!host.empty()) {
        for (const auto& route : m_routes) {
            if (relayRouteMatches(route.first, host))
                return route.second;
        }
    }
    return m_fallback;
}

void KcpRelay::onDatagrams(evutil_socket_t, short, void* arg)
{
    static_cast<KcpRelay*>(arg)->handleDatagrams();
}

void KcpRelay::handleDatagrams()
{
    uint8_t buffer[65536];
    for (int i = 0; i < DatagramsPerRun; ++i) {
        sockaddr_storage from;
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(
            m_socket.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0)
            break; // drained, or an error the next datagram does not share
        if (n < static_cast<ssize_t>(KcpSegment::Overhead)) {
            m_stats.ignoredDatagrams += 1;
            continue;
        }
        const uint32_t conv = readLe32(buffer);
        std::string key = conversationKey(from, conv);
        auto it = m_conversations.find(key);
        if (it == m_conversations.end()) {
            if (buffer[4] != KcpSegment::Open) {
                m_stats.ignoredDatagrams += 1;
                continue;
            }
            std::string source = sourceKey(from);
            const auto live = m_liveBySource.find(source);
            const size_t fromSource = live == m_liveBySource.end() ? 0 : live->second;
            if (provenCount() - m_finished.size() >= m_options.maxConversations
                || fromSource >= m_options.maxConversationsPerSource) {
                m_stats.refused += 1;
                m_stats.ignoredDatagrams += 1;
                // Once a second at most: a flood of Opens must not flood the log.
                const uint32_t now = Clock::tickCount();
                if (m_stats.refused == 1 || now - m_lastRefusalLog >= 1000) {
                    m_lastRefusalLog = now;
                    logRelay.warn(
                        "conversation %08x from %s refused: %d proven, %d from that address (%llu refused)",
                        conv, addressText(reinterpret_cast<sockaddr*>(&from)).c_str(),
                        static_cast<int>(provenCount()), static_cast<int>(fromSource),
                        static_cast<unsigned long long>(m_stats.refused));
                }
                continue;
            }
            // Room among the unproven: Opens sent in an address's name push
            // out only the oldest of its unproven conversations, which a real
            // client proves within a round trip.
            const auto unproven = m_unprovenBySource.find(source);
            if (unproven != m_unprovenBySource.end() && unproven->second >= m_options.maxUnprovenPerSource) {
                evictUnproven(&source);
            } else if (m_unproven.size() >= m_options.maxUnproven) {
                evictUnproven(nullptr);
            }
            auto conversation
                = std::make_unique<Conversation>(*this, key, std::move(source), conv, from, fromLength);
            if (!conversation->valid())
                continue;
            conversation->m_held = (buffer[5] & KcpSegment::OpenHold) != 0;
            if (!conversation->input(buffer, static_cast<size_t>(n)) || !conversation->answered()) {
                m_stats.ignoredDatagrams += 1; // an Open the engine would not accept, or a forged echo
                continue;
            }
            m_stats.opened += 1;
            m_conversations.emplace(std::move(key), std::move(conversation));
            continue;
        }
        if (!it->second->input(buffer, static_cast<size_t>(n)))
            forget(it->second.get());
    }
}

// A proven conversation takes one of its address's live slots, if any is left.
bool KcpRelay::admit(Conversation* conversation)
{
    size_t& fromSource = m_liveBySource[conversation->source()];
    // A finished conversation only answers late resends: the oldest gives
    // way to a proven one, so that lingering never refuses new clients.
    while (provenCount() >= m_options.maxConversations && !m_finished.empty()
        && fromSource < m_options.maxConversationsPerSource) {
        m_stats.finished += 1;
        forget(m_finished.front());
    }
    if (provenCount() >= m_options.maxConversations || fromSource >= m_options.maxConversationsPerSource) {
        if (fromSource == 0)
            m_liveBySource.erase(conversation->source());
        m_stats.refused += 1;
        return false;
    }
    fromSource += 1;
    conversation->m_holdsSource = true;
    unlistUnproven(conversation);
    return true;
}

void KcpRelay::unlistUnproven(Conversation* conversation)
{
    if (!conversation->m_listedUnproven)
        return;
    conversation->m_listedUnproven = false;
    m_unproven.erase(conversation->m_unprovenAt);
    auto it = m_unprovenBySource.find(conversation->source());
    if (it != m_unprovenBySource.end() && --it->second == 0)
        m_unprovenBySource.erase(it);
}

// Drops the oldest unproven conversation, of that address when one is given.
void KcpRelay::evictUnproven(const std::string* source)
{
    for (Conversation* conversation : m_unproven) {
        if (source && conversation->source() != *source)
            continue;
        logRelay.debug("an unproven conversation gives way to a newer Open");
        m_stats.unprovenDropped += 1;
        forget(conversation);
        return;
    }
}

void KcpRelay::releaseSource(const std::string& source)
{
    auto it = m_liveBySource.find(source);
    if (it != m_liveBySource.end() && --it->second == 0)
        m_liveBySource.erase(it);
}

void KcpRelay::forget(Conversation* conversation)
{
    const std::string key = conversation->key(); // the conversation owns the original
    m_conversations.erase(key);
}
