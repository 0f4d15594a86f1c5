#pragma once
#include "base/UniqueSocket.h"
#include "transport/KcpControlBlock.h"
#include "transport/NcmConn.h"

#include <event2/util.h>

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_set>

class NcmConnKcp;
class NcmKcpManager;

// The conversation behind one NcmConnKcp: the engine, a UDP socket
// connected to the relay, and three events (socket readability, an update
// timer that adapts to traffic, and a notify event that turns engine
// progress into Read/Write events in a later loop turn).
//
// Owned by its connection while that is open. Once the connection closes,
// the channel passes to the NcmKcpManager and lingers for LingerTime: the
// socket and timer keep feeding and updating the engine, so queued data and
// the end-of-stream marker still reach the relay. Not copyable; event-loop
// thread only.
class NcmKcpChannel {
public:
    NcmKcpChannel(NcmKcpManager* manager, NcmConnKcp* connection, uint32_t conv);
    ~NcmKcpChannel();
    NcmKcpChannel(const NcmKcpChannel&) = delete;
    NcmKcpChannel& operator=(const NcmKcpChannel&) = delete;

    KcpControlBlock* engine() const { return m_engine.get(); }
    evutil_socket_t socket() const { return m_socket.get(); }
    bool isLingering() const { return m_connection == nullptr; }
    uint32_t closeTime() const { return m_closeTime; }
    uint32_t delay() const { return m_delay; }

private:
    friend class NcmConnKcp;
    friend class NcmKcpManager;

    // Schedules the owed Read once the engine has data or the end.
    void deliver();
    // Engine data into the connection's input, inside the Read it is reported with.
    uint32_t pull();
    // The connection's output into the engine, bounded by the send window.
    void pump();
    void markClosing();
    void armTimer();
    // Brings the timer forward to the pacer's next turn, if that is sooner.
    void armForPacer();
    void handleSocket();
    void handleTimer();
    void handleNotify(short flags);
    void notifyConnection(NcmConn::Event event, int32_t error, uint32_t size);

    static void onSocket(evutil_socket_t fd, short flags, void* arg);
    static void onTimer(evutil_socket_t fd, short flags, void* arg);
    static void onNotify(evutil_socket_t fd, short flags, void* arg);

    // Field order matters: members are destroyed in reverse, so the events
    // go before the engine and the engine before the socket it sends on.
    NcmConnKcp* m_connection;
    NcmKcpManager* m_manager;
    UniqueSocket m_socket; // invalid until connect
    KcpControlBlockPtr m_engine;
    uint32_t m_connectStart = 0;
    uint32_t m_connectTimeout = 0; // ms; 0 = none, reported, or connected
    EventPtr m_socketEvent;
    EventPtr m_timerEvent;
    EventPtr m_notifyEvent;
    bool m_wantRead = false;
    bool m_wantWrite = false;
    bool m_wantDrain = false; // the owed Write waits for an empty output
    uint32_t m_closeTime = 0; // never 0 once closing began (lowest bit forced)
    uint32_t m_delay = 0;
    int32_t m_lastError = 0;
    int32_t m_pendingConnectError = 0; // a connect that failed before any datagram
    bool m_openAhead = false; // our Open asks the relay to hold the upstream
    uint32_t m_openWindow = 0; // the relay's window in its Open
    bool m_admitted = false; // the relay opened its window past that: it took us
    uint32_t m_pendingWritten = 0;
    std::list<std::unique_ptr<NcmKcpChannel>>::iterator m_lingerPosition;
    std::shared_ptr<bool> m_alive;
};

// NcmConn over KCP on UDP to a relay. Created by NcmKcpManager; the same
// event contract as NcmConnTcp. Nothing is reported from inside connect().
class NcmConnKcp : public NcmConn {
public:
    NcmConnKcp(NcmKcpManager* manager, uint32_t conv);
    ~NcmConnKcp() override;

    // Engine settings; call before connect. Return the engine's result,
    // -1 when the engine could not be created.
    int setMtu(int mtu);
    int setNoDelay(int nodelay, int interval, int resend, int nc);
    int setWindowSize(int sndWnd, int rcvWnd);
    void setPacing(bool on);
    void setAckRepeat(bool on);
    // Opened ahead of its request: the relay reaches no upstream until the
    // stream starts. Call before connect; start() when it is handed out.
    void setOpenAhead(bool on);
    // Established, admitted by the relay (which says so by opening its
    // window after the address proof), and untouched by either side: a
    // request on it goes out at once.
    bool isReadyAhead() const;
    // Starts a conversation opened ahead, for a protocol whose server
    // speaks first too; the relay answers with its window.
    void start();

    // address: "IPv4:port" of the relay (NAT64-synthesised on IPv6-only hosts).
    void connect(const IpStackFacts* ipStack, const std::string& address, int timeoutSeconds) override;
    void requestRead() override;
    void requestWrite() override;
    void requestDrain() override;

    uint32_t conv() const { return m_conv; }
    // Null once closed (the channel then belongs to the manager).
    NcmKcpChannel* channel() const { return m_channel.get(); }
    evutil_socket_t socket() const { return m_channel ? m_channel->socket() : -1; }

protected:
    void doClose() override;

private:
    friend class NcmKcpChannel;

    uint32_t m_conv;
    std::unique_ptr<NcmKcpChannel> m_channel;
};

// Creates KCP connections on one event base and keeps the channels of
// closed connections until their linger time has passed. One per proxy
// activation; destroying it destroys every lingering channel at once.
class NcmKcpManager {
public:
    static constexpr uint32_t LingerTime = 5000; // ms

    explicit NcmKcpManager(event_base* base);
    ~NcmKcpManager();
    NcmKcpManager(const NcmKcpManager&) = delete;
    NcmKcpManager& operator=(const NcmKcpManager&) = delete;

    // A new connection with a random conversation id.
    std::unique_ptr<NcmConnKcp> createConnection();

    event_base* eventBase() const { return m_base; }
    size_t lingeringCount() const { return m_lingering.size(); }

private:
    friend class NcmKcpChannel;
    friend class NcmConnKcp;

    void adopt(std::unique_ptr<NcmKcpChannel> channel);
    void destroyLingering(NcmKcpChannel* channel);

    std::list<std::unique_ptr<NcmKcpChannel>> m_lingering;
    // Channels still owned by their connection: told when the manager goes,
    // so that a connection outliving it frees its channel itself.
    std::unordered_set<NcmKcpChannel*> m_attached;
    event_base* m_base;
};
