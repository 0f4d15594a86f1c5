#pragma once
#include "proxy/NcmProxyRemoteManager.h"
#include "transport/KcpControlBlock.h"

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

// KCP engines joined in memory on a millisecond clock; one seeded generator replays a failing run exactly.
struct LinkProfile {
    double loss = 0.0; // probability that a datagram is dropped
    double duplicate = 0.0; // probability that a delivered datagram arrives twice
    uint32_t delayMs = 0; // fixed one-way delay
    uint32_t jitterMs = 0; // extra delay drawn from 0..jitterMs; reorders datagrams
    // A bottleneck in front of the delay (0: none) drops what finds its queue full; loss strikes after.
    double rateBytesPerMs = 0;
    uint32_t queueBytes = 0;
};

// One direction. 64-bit elapsed milliseconds keep the order across the engines' 32-bit clock wrap.
struct SimulatedLink {
    LinkProfile profile;
    std::mt19937& rng;
    // (due time, arrival order) -> datagram: ties leave in sending order.
    std::map<std::pair<uint64_t, uint64_t>, std::vector<uint8_t>> inFlight {};
    uint64_t order = 0;
    uint64_t multiSegment = 0; // datagrams that carried more than one segment
    int largest = 0;
    double linkFree = 0; // when the bottleneck has sent everything queued
    uint64_t burstAt = 0;
    uint64_t burstBytes = 0; // sent at burstAt
    uint64_t largestBurst = 0; // most bytes sent at one instant
    uint64_t sentBytes = 0; // everything offered, lost datagrams included

    void send(uint64_t now, const uint8_t* data, int length);
    bool idle() const { return inFlight.empty(); }
};

// One side of a byte stream driven as the proxy's KCP connection drives its engine: read all, move
// bytes in while it holds under twice its send window, flush at once when the window has room.
struct StreamSide {
    KcpControlBlockPtr kcp;
    std::string toSend; // bytes the application still has to hand over
    size_t sendOffset = 0;
    bool closeWhenSent = false;
    bool reading = true; // false: the application leaves data in the engine
    std::string received;
    bool peerEnded = false; // peekSize reported the end-of-stream marker

    void pump();
    void deliver();
};

// Two engines A and B joined by a SimulatedLink each way.
class KcpPair {
public:
    KcpPair(uint32_t conv, LinkProfile profile, uint32_t seed, uint32_t startClock = 0);

    StreamSide& a() { return m_a; }
    StreamSide& b() { return m_b; }
    SimulatedLink& linkAB() { return m_ab; }
    SimulatedLink& linkBA() { return m_ba; }
    uint32_t clock() const { return static_cast<uint32_t>(m_start + m_elapsed); }
    uint64_t elapsed() const { return m_elapsed; }

    // A updates and opens; B answers with its own Open once A's arrives.
    void connect();
    // Advances the clock, delivers what is due, updates both engines and runs both sides.
    void tick(uint32_t ms);
    // Ticks until done() or limitMs of simulated time; returns done().
    template <typename Done> bool runUntil(Done done, uint64_t limitMs, uint32_t stepMs = 1)
    {
        const uint64_t end = m_elapsed + limitMs;
        while (!done()) {
            if (m_elapsed >= end)
                return false;
            tick(stepMs);
        }
        return true;
    }

private:
    std::mt19937 m_rng;
    SimulatedLink m_ab;
    SimulatedLink m_ba;
    StreamSide m_a;
    StreamSide m_b;
    uint32_t m_start;
    uint64_t m_elapsed = 0;
};

// One segment as it travels, for the tests' hand-made peers.
struct KcpWire {
    uint32_t conv = 0;
    uint32_t cmd = KcpSegment::Push;
    uint32_t frg = 0;
    uint32_t wnd = 1024;
    uint32_t ts = 0;
    uint32_t sn = 0;
    uint32_t una = 0;
    std::string data;
    int64_t lenOverride = -1; // a header length that disagrees with the data
};
// The segments one after another, as one datagram.
std::string encodeKcp(const std::vector<KcpWire>& segments);
// The segments of a datagram; a length past its end is cut short.
std::vector<KcpWire> decodeKcp(const std::string& datagram);

// The settings the proxy gives every KCP conversation, on an engine or a connection.
template <typename Kcp> void applyProxySettings(Kcp& kcp)
{
    using Remote = NcmProxyRemoteManager;
    kcp.setMtu(Remote::KcpMtu);
    kcp.setNoDelay(
        Remote::KcpNoDelay, Remote::KcpInterval, Remote::KcpFastResend, Remote::KcpNoCongestionWindow);
    kcp.setWindowSize(Remote::KcpSendWindow, Remote::KcpReceiveWindow);
}

// Deterministic pseudo-random payload.
std::string makePayload(size_t size, uint32_t seed);
