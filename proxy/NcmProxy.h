#pragma once
#include "base/EventPtr.h"
#include "base/GlobalInit.h" // every host of the proxy calls proxyGlobalInit first
#include "base/NcmStats.h"
#include "base/ProxyConfig.h"
#include "base/UniqueSocket.h"
#include "resolver/ResolverHost.h"
#include "transport/Nat64Address.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class NcmProxyContext;
class NcmProxyRemoteManager;
class NcmDnsClient;
struct LingeringClient;

// State of one service object that outlives activations: the event base is
// made once and kept; listener, port and contexts belong to the activation.
struct ProxyRuntime {
    ProxyRuntime();
    ~ProxyRuntime();
    // Live contexts, owned.
    std::unordered_map<NcmProxyContext*, std::unique_ptr<NcmProxyContext>> contextTable;
    EventBasePtr eventBase;
    ListenerPtr listener;
    std::atomic<int> port { -1 };
    std::mutex activationLock;
    std::thread loopThread;
    std::atomic<bool> loopDone { true };
    // Objects that finished inside one of their own callbacks wait here for
    // the next loop turn to be deleted.
    std::vector<std::shared_ptr<void>> graveyard;
    EventPtr reapEvent;
    // Accepting pauses while descriptors run out and resumes from this timer.
    EventPtr acceptRetryEvent;
    bool acceptPaused = false;
    int64_t lastSweep = 0; // second of the last idle sweep on accept
    // Client sockets half-closed after their answer, read and discarded
    // until the client closes or their time is up.
    std::unordered_map<LingeringClient*, std::unique_ptr<LingeringClient>> lingering;
};

// The local proxy service. Lives for the whole process. activate() and
// stop() are called from the controlling thread; everything else runs on the
// event-loop thread that activate() starts.
class NcmProxy {
public:
    NcmProxy();
    ~NcmProxy();
    NcmProxy(const NcmProxy&) = delete;
    NcmProxy& operator=(const NcmProxy&) = delete;

    void activate(const char* text);
    void stop();
    int port() const { return runtime->port.load(); }

    event_base* eventBase() const { return runtime->eventBase.get(); }
    bool isRunning() const { return static_cast<bool>(stats); }

    // Event-loop thread.
    void destroyContext(NcmProxyContext* context);
    // Deletes the object in a later loop turn (connections, contexts and
    // callables that may still be on the stack).
    void deferDelete(std::shared_ptr<void> object);
    // Sends the client our end of stream and waits (bounded) for its own
    // before closing, so that unread bytes it sent cause no reset.
    void closeGracefully(UniqueSocket socket);
    void endLingering(LingeringClient* client);
    void dumpStats();
    std::string statsText();

    // Reports of unusable addresses and HTTP-DNS failures (any thread).
    void appendReports(const std::vector<std::string>& records);
    std::string takeReports();

    std::unique_ptr<ProxyRuntime> runtime;
    std::mt19937 rng;
    ProxyConfig config;
    std::atomic<int64_t> lastAcceptTime { 0 };

    // Local network state, zeroed at each activation.
    IpStackFacts ipStack;

    std::shared_ptr<NcmProxyRemoteManager> remoteManager;
    std::shared_ptr<NcmStats> stats;
    std::shared_ptr<NcmDnsClient> dnsClient;

    std::mutex reportLock;
    std::deque<std::string> reportQueue;

    // The parts of this service that its DNS client uses.
    ResolverHost resolverHost;

private:
    void doActivate(const char* text);
    void deactivate();
    void loopMain();
    void reap();
    void sweepIdleContexts(int64_t now);

    static void onAccept(
        evconnlistener* listener, evutil_socket_t fd, sockaddr* address, int length, void* arg);
    static void onListenerError(evconnlistener* listener, void* arg);
    static void onAcceptRetry(evutil_socket_t, short, void* arg);
    static void onReap(evutil_socket_t, short, void* arg);
};
