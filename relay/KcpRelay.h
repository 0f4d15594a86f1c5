#pragma once
#include "base/EventPtr.h"
#include "base/Logger.h"
#include "base/SocketUtil.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

extern Logger logRelay; // "KcpRelay"

// How the relay's engines send. The relay sends the downloads, so it uses a
// faster profile than the client's fixed settings: no congestion window
// (which falls back to one segment on every time-out, so random loss alone
// stalls it) and paced sending at the measured delivery rate, which keeps a
// bottleneck's queue short while the link stays full. Window bursts instead
// gain goodput only by overflowing that queue. The pacer keeps in flight
// near twice the bandwidth-delay product, so the send window only has to
// be larger than that, holes included. The wire format and the mtu stay the
// client's.
struct KcpSendProfile {
    int noDelay = 1;
    int interval = 20; // ms between flushes
    int fastResend = 2; // resend after this many later acks; 0 = off
    int noCwnd = 1; // 1 = no congestion window: only the windows limit sending
    int pacing = 1; // 1 = paced at the measured delivery rate
    int ackRepeat = 1; // 1 = acks of out-of-order segments go out twice (uploads lose fewer to lost acks)
    int sendWindow = 512; // segments
    int receiveWindow = 1024; // segments
};

// The relay's settings (lumaview-relay's command line).
struct KcpRelayOptions {
    KcpSendProfile profile;
    std::string listen; // "ADDR:PORT" of the UDP socket; port 0 picks a free one
    bool reusePort = false; // share the listen address with other relays (SO_REUSEPORT)
    std::string upstream; // "HOST:PORT": where conversations go unless a route matches
    // (host suffix, "HOST:PORT"), tried in order against the Host header of
    // an HTTP request or the server name of a TLS ClientHello.
    std::vector<std::pair<std::string, std::string>> routes;
    int idleTimeoutSeconds = 60; // a conversation with no traffic this long is dropped
    uint32_t lingerMs
        = 5000; // kept after both ends finished, to answer resends, while its slot is not needed
    uint32_t routeWaitMs = 3000; // longest wait for the bytes that choose a route, from the proof or start
    int upstreamConnectSeconds = 10;
    size_t maxConversations = 4096; // proven ones
    // Live (not yet finished) proven conversations from one client address,
    // any port: one host can not take every slot, nor all the memory.
    size_t maxConversationsPerSource = 64;
    // Conversations whose address is not proven yet have their own share,
    // so that Opens from forged addresses never take a real client's place.
    // When a share is full, the oldest unproven conversation in it gives way.
    size_t maxUnproven = 512;
    size_t maxUnprovenPerSource = 32;
    uint32_t unprovenMs = 2000; // an address not proven by then is dropped
    // Segments in flight that the client acknowledges none of for this long:
    // the client is gone, whatever the idle time-out says.
    uint32_t noAckTimeoutMs = 10000;
};

struct KcpRelayStats {
    uint64_t opened = 0;
    uint64_t finished = 0; // both streams ended and acknowledged (all but our marker), then forgotten
    uint64_t idleDropped = 0;
    uint64_t silentDropped = 0; // the client acknowledged nothing for noAckTimeoutMs
    uint64_t refused = 0; // over maxConversations or maxConversationsPerSource, at the Open or the proof
    uint64_t unprovenDropped = 0; // no proof in time, gave way to newer Opens, or a wrong echo
    uint64_t ignoredDatagrams = 0; // unknown conversation and not an Open, too short, or refused
    uint64_t upstreamFailures = 0;
};

// A KCP relay: accepts conversations on one UDP socket (a datagram whose
// first segment is an Open with a new conversation id starts one, answered
// by our own Open), opens one TCP connection to an upstream per
// conversation once the client has proven that it receives at its address,
// and relays bytes both ways with back-pressure. The end-of-stream marker
// goes out when the upstream closes; the client's marker half-closes the
// upstream. Finished conversations linger, then are forgotten (sooner, oldest
// first, when a newly proven one needs their slot); idle ones,
// and ones whose client stopped acknowledging, are dropped.
//
// Address proof: the ts of our Open is a random challenge, and an Ack of a
// segment echoes its ts. Until an Ack of sequence number 0 brings the
// challenge back, the conversation reaches no upstream, its client's data
// waits in a small receive window, and it is answered with no more bytes
// than that address sent to it (our Open first; acks of its data are held
// back, so that the client keeps resending). When the Ack carrying the
// challenge was lost and the client shows (una) that our Open arrived, the
// challenge goes out again in an empty Push with sequence number 0, which
// the client acknowledges as an old duplicate without storing it. A forged
// source address thus gets back at most what was sent in its name.
//
// A client may open a conversation ahead of its request (OpenHold in its
// Open): once proven it is told so by our full window, and it reaches no
// upstream, nor starts the route wait, until its stream starts with a byte
// or a WindowAsk, so that it holds no upstream connection while it waits.
//
// Memory per conversation is bounded: the engine holds at most a send
// window of unsent and unacknowledged segments plus, from the client, a
// receive window of out-of-order and one of in-order segments of at most
// mss bytes each (the window is capped so that both stay within
// ReceiveBufferLimit), and bytes waiting for a slow upstream stop at
// UpstreamQueueLimit.
//
// Event-loop thread only; not copyable.
class KcpRelay {
public:
    static constexpr size_t UpstreamQueueLimit = 256 * 1024;
    static constexpr size_t RouteSniffLimit = 16 * 1024;
    static constexpr size_t ReceiveBufferLimit = 4 << 20;
    // The largest receive window that keeps to ReceiveBufferLimit.
    static int maxReceiveWindow();

    KcpRelay(event_base* base, KcpRelayOptions options);
    ~KcpRelay();
    KcpRelay(const KcpRelay&) = delete;
    KcpRelay& operator=(const KcpRelay&) = delete;

    // Binds and resolves the upstreams; false with a message on failure.
    bool start(std::string& error);
    int port() const { return m_port; }

    size_t conversationCount() const { return m_conversations.size(); }
    size_t unprovenCount() const { return m_unproven.size(); }
    // A conversation still being opened is listed as unproven before it is kept.
    size_t provenCount() const
    {
        return m_conversations.size() - std::min(m_conversations.size(), m_unproven.size());
    }
    // Payload bytes held for all conversations, at most: segments in the
    // engines' queues counted at the segment size, and bytes waiting for
    // upstreams.
    size_t heldBytes() const;
    const KcpRelayStats& stats() const { return m_stats; }

private:
    class Conversation;
    struct Target {
        std::string name;
        sockaddr_storage address;
        socklen_t length = 0;
    };

    void handleDatagrams();
    void forget(Conversation* conversation);
    void releaseSource(const std::string& source);
    bool admit(Conversation* conversation);
    void unlistUnproven(Conversation* conversation);
    void evictUnproven(const std::string* source);
    const Target& chooseTarget(const std::string& host) const;
    static void onDatagrams(evutil_socket_t fd, short flags, void* arg);

    event_base* m_base;
    KcpRelayOptions m_options;
    UniqueSocket m_socket;
    int m_port = -1;
    EventPtr m_socketEvent;
    Target m_fallback;
    std::vector<std::pair<std::string, Target>> m_routes;
    // Keyed by the client's address and the conversation id.
    std::unordered_map<std::string, std::unique_ptr<Conversation>> m_conversations;
    // Live proven conversations per client address (without the port).
    std::unordered_map<std::string, size_t> m_liveBySource;
    std::list<Conversation*> m_unproven; // oldest first
    std::list<Conversation*> m_finished; // lingering, oldest first
    std::unordered_map<std::string, size_t> m_unprovenBySource;
    uint32_t m_lastRefusalLog = 0;
    std::vector<uint8_t> m_scratch; // one upstream read at a time
    KcpRelayStats m_stats;
};

// What the first bytes of a client stream say about where it goes.
enum class SniffResult { Found, NeedMore, NotFound };

// The host named by the start of a stream: the Host header of an HTTP
// request head (port removed), or the server name of a TLS ClientHello.
// Lower case.
SniffResult sniffTargetHost(const uint8_t* data, size_t length, std::string& host);

// A suffix matches its own name and every name below it; a leading dot is
// optional (".example.test" and "example.test" both match www.example.test).
bool relayRouteMatches(const std::string& suffix, const std::string& host);
