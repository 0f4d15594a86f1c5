#pragma once
#include "base/EventPtr.h"
#include "base/SocketUtil.h"

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// How one direction of a simulated bad network treats datagrams. In order:
// a bottleneck queue drained at rateBitsPerSecond (drop-tail beyond
// queueBytes), then loss (independent, or bursty with the two-state model),
// then the one-way delay plus jitter, then duplication and reordering.
struct ImpairmentProfile {
    double loss = 0.0; // share of datagrams dropped (in the good state of the burst model)
    double duplicate = 0.0; // share of the forwarded ones sent twice
    double reorder = 0.0; // share held back by reorderMs, so later ones overtake them
    uint32_t delayMs = 0; // added to every datagram
    uint32_t jitterMs = 0; // up to this much more, drawn per datagram; order is kept
    uint32_t reorderMs = 10;
    uint64_t rateBitsPerSecond = 0; // bandwidth cap; 0 = unlimited
    size_t queueBytes = 128 * 1024; // bottleneck queue (only with a cap)
    // Two-state (good/bad) burst loss: chance per datagram of entering and of
    // leaving the bad state, and the loss while in it. Off while enterBad is 0.
    double enterBad = 0.0;
    double leaveBad = 0.0;
    double lossBad = 1.0;
    size_t queueLimit = 8u << 20; // bytes held back at most; beyond it, dropped like a full router queue
};

struct ImpairmentStats {
    uint64_t received = 0;
    uint64_t forwarded = 0; // copies handed on, duplicates included
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
    uint64_t overflowed = 0; // dropped by a full queue
    uint64_t receivedBytes = 0; // what the senders put on the link
    uint64_t forwardedBytes = 0;
    size_t largest = 0; // biggest datagram seen (shows whether offloads merged packets)

    ImpairmentStats& operator+=(const ImpairmentStats& other);
};

// One direction of a lossy link. Every choice comes from one generator
// seeded by the caller, so a run with the same traffic replays exactly.
// Datagrams leave through `deliver`, at once or from a timer on the event
// base when delayed. Event-loop thread only; not copyable.
class ImpairedPath {
public:
    using Deliver = std::function<void(const uint8_t* data, size_t length)>;

    ImpairedPath(event_base* base, const ImpairmentProfile& profile, uint32_t seed, Deliver deliver);
    ImpairedPath(const ImpairedPath&) = delete;
    ImpairedPath& operator=(const ImpairedPath&) = delete;

    void submit(const uint8_t* data, size_t length);
    const ImpairmentStats& stats() const { return m_stats; }

private:
    bool chance(double share);
    bool lose();
    uint64_t departure(size_t length, uint64_t now);
    void hold(const uint8_t* data, size_t length, uint64_t dueUs);
    void release();
    void armTimer();
    static void onTimer(evutil_socket_t, short, void* arg);

    ImpairmentProfile m_profile;
    std::mt19937 m_rng;
    std::uniform_real_distribution<double> m_uniform { 0.0, 1.0 };
    Deliver m_deliver;
    // By due time in microseconds; equal times leave in arrival order.
    std::multimap<uint64_t, std::vector<uint8_t>> m_held;
    size_t m_heldBytes = 0;
    // Departure times and sizes of the datagrams still in the bottleneck queue.
    std::deque<std::pair<uint64_t, size_t>> m_queued;
    size_t m_queuedBytes = 0;
    uint64_t m_linkFreeUs = 0; // when the link has sent everything queued
    uint64_t m_lastDueUs = 0; // jitter never reorders
    bool m_bad = false;
    EventPtr m_timer;
    ImpairmentStats m_stats;
};

struct LossyUdpOptions {
    std::string listen; // "ADDR:PORT" facing the clients; port 0 picks a free one
    std::string target; // "ADDR:PORT" of the server
    ImpairmentProfile toTarget;
    ImpairmentProfile toClient;
    uint32_t seed = 1;
    uint32_t sessionIdleMs = 120000;
};

// Forwards UDP between clients and one server through an ImpairedPath each
// way. Every client address gets its own socket towards the server (as a
// NAT would), so the server sees distinct clients. Event-loop thread only.
class LossyUdpForwarder {
public:
    LossyUdpForwarder(event_base* base, LossyUdpOptions options);
    ~LossyUdpForwarder();
    LossyUdpForwarder(const LossyUdpForwarder&) = delete;
    LossyUdpForwarder& operator=(const LossyUdpForwarder&) = delete;

    bool start(std::string& error);
    int port() const { return m_port; }
    size_t sessionCount() const { return m_sessions.size(); }
    // Sums over every session, the ended ones included.
    ImpairmentStats toTargetStats() const;
    ImpairmentStats toClientStats() const;

private:
    struct Session;

    void handleClientDatagrams();
    void handleServerDatagrams(Session& session);
    void sweep();
    static void onClient(evutil_socket_t, short, void* arg);
    static void onSweep(evutil_socket_t, short, void* arg);

    event_base* m_base;
    LossyUdpOptions m_options;
    sockaddr_storage m_target {};
    socklen_t m_targetLength = 0;
    UniqueSocket m_socket;
    int m_port = -1;
    EventPtr m_socketEvent;
    EventPtr m_sweepEvent;
    std::unordered_map<std::string, std::unique_ptr<Session>> m_sessions;
    uint32_t m_sessionsMade = 0;
    ImpairmentStats m_endedToTarget;
    ImpairmentStats m_endedToClient;
};

// "0.1" or "10%" as a share in [0, 1]; false when it is neither.
bool parseShare(const std::string& text, double& out);
