#pragma once
#include "base/EventPtr.h"
#include "base/UniqueSocket.h"
#include "tests/support/KcpSimulatedNetwork.h" // makePayload for the tests
#include "transport/KcpControlBlock.h"
#include "transport/NcmConnKcp.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

// A connection with the engine settings the proxy gives every KCP connection.
std::unique_ptr<NcmConnKcp> proxyKcpConnection(NcmKcpManager& manager);

// The far end of one KCP conversation for connection tests: an engine with
// the proxy's settings on a UDP socket on loopback, driven by the test's
// own event base. It adopts the first conversation that opens, answers its
// Open, reads what arrives and sends what it is given, as the simulated
// network's StreamSide does. Switches make it
// silent, deaf (a dead link) or a reader that stops reading.
class KcpTestPeer {
public:
    explicit KcpTestPeer(event_base* base, const char* host = "127.0.6.1");

    std::string address() const { return m_host + ":" + std::to_string(m_port); }
    // false: datagrams are counted, nothing is answered.
    void setAnswering(bool on) { m_answering = on; }
    // true: every datagram in either direction is lost.
    void setDropping(bool on) { m_dropping = on; }
    // false: data stays in the engine, so its receive window closes.
    void setReading(bool on) { m_side.reading = on; }

    void send(const std::string& data) { m_side.toSend += data; }
    void sendEndOfStream() { m_side.closeWhenSent = true; }

    bool established() const { return m_side.kcp && m_side.kcp->isEstablished(); }
    const std::string& received() const { return m_side.received; }
    bool clientEnded() const { return m_side.peerEnded; } // the client's marker was reached
    size_t datagrams() const { return m_datagrams; }
    const std::set<uint32_t>& conversationsSeen() const { return m_seen; }

private:
    void handleDatagrams();
    void tick();

    std::string m_host;
    int m_port = 0;
    UniqueSocket m_socket;
    EventPtr m_readEvent;
    EventPtr m_timer;
    StreamSide m_side; // the engine, once a conversation opened
    bool m_answering = true;
    bool m_dropping = false;
    size_t m_datagrams = 0;
    std::set<uint32_t> m_seen;
};
