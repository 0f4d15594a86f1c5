#pragma once
#include "base/UniqueSocket.h"
#include "transport/NcmConn.h"

#include <event2/util.h>

// NcmConn over a non-blocking TCP socket driven by two libevent events
// (readability and writability); no bufferevent. Each requestRead is answered
// by at most one Read event.
class NcmConnTcp : public NcmConn {
public:
    explicit NcmConnTcp(event_base* base);
    ~NcmConnTcp() override;

    // Adopts an accepted, connected, already non-blocking socket (the
    // listener accepts that way). Arms nothing.
    void attachSocket(UniqueSocket socket);

    void connect(const IpStackFacts* ipStack, const std::string& address, int timeoutSeconds) override;
    void requestRead() override;
    void requestWrite() override;
    void requestDrain() override;

    // The close that follows ends the connection with a reset instead of
    // the closing handshake: for a connection whose every byte both ways
    // has been accounted for, so that nothing is lost, and neither end keeps
    // the address pair waiting afterwards.
    void resetOnClose();

    // What the kernel still holds for this connection: bytes received and
    // not yet read, and bytes sent and not yet acknowledged. A failed query
    // counts as something held, so that no close is made abrupt on a guess.
    size_t unreadInKernel() const;
    size_t unackedInKernel() const;
    size_t roomBelow() const override;
    // Whether any byte has been handed to the kernel, that is, may have
    // reached the peer.
    bool anythingSent() const;

    // Nothing will be queued after what the output holds, and the
    // connection is closed once it drains: the last bytes wait for the
    // closing FIN to travel with them.
    void markLastOutput();

    evutil_socket_t socket() const;
    // Takes the socket out (events dropped), for a close that waits for the peer.
    UniqueSocket releaseSocket();

protected:
    void doClose() override;

private:
    struct State;

    int flush();
    // Whether the owed Write may be delivered now (bytes moved, or the output drained).
    bool writeOwed() const;
    int readSome();
    void createEvents();
    void failConnectSoon(int error);
    void handleRead();
    void handleWrite(short flags);

    static void onReadable(evutil_socket_t fd, short flags, void* arg);
    static void onWritable(evutil_socket_t fd, short flags, void* arg);
    static void onConnectFailed(evutil_socket_t fd, short flags, void* arg);

    std::unique_ptr<State> m_state;
};
