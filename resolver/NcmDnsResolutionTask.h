#pragma once
#include "base/EventPtr.h"
#include "base/UniqueSocket.h"

#include <event2/util.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class NcmDnsClient;
class NcmDnsResolutionTask;
class NcmDnsResolutionRequestHttp;
struct ResolverHost;
struct NcmStats;

// The port DNS servers are asked on: 53.
uint16_t dnsServerPort();
// Test-only: another port (0 restores 53), so that test resolvers need not
// own port 53. Any thread.
void setDnsPortForTest(uint16_t port);

// One DNS server asked for the task's host over "udp" or "tcp" (port 53).
// Owned by its task; event-loop thread only.
class NcmDnsResolutionRequestDns : public std::enable_shared_from_this<NcmDnsResolutionRequestDns> {
public:
    NcmDnsResolutionRequestDns(NcmDnsResolutionTask* task, std::string protocol, std::string server);
    ~NcmDnsResolutionRequestDns();
    NcmDnsResolutionRequestDns(const NcmDnsResolutionRequestDns&) = delete;
    NcmDnsResolutionRequestDns& operator=(const NcmDnsResolutionRequestDns&) = delete;

    // Opens the socket and waits for it to become writable. Returns false
    // when the request could not be started (it then holds nothing open).
    bool doQuery();
    // Frees the event and closes the socket; nothing more is read.
    void close();

    NcmDnsResolutionTask* const task;
    const std::string protocol;
    const std::string server;
    EventPtr event;
    UniqueSocket fd;
    size_t sent = 0;
    std::vector<uint8_t> response;
    std::vector<std::string> ips;
    bool success = false;
    // Set once the task has counted this request; it is never counted twice.
    bool over = false;

private:
    static void evcb_dns(evutil_socket_t fd, short what, void* arg);
    // Each returns true when the request is over.
    bool onWritable();
    bool onReadable();
    // Replaces the event by one for `what` (persistent, with the DNS wait).
    bool watch(short what);
};

// Resolves one host for the DNS client: DNS servers first, all at once,
// then HTTP-DNS servers told what DNS answered, with a second DNS stage over
// the configured servers when HTTP-DNS gave nothing and the first stage
// used the system's resolvers. Calls `completion` once with the host.
//
// Held by shared pointers; the client may drop the last one inside
// `completion`, so every handler keeps its own reference until it returns.
class NcmDnsResolutionTask : public std::enable_shared_from_this<NcmDnsResolutionTask> {
public:
    using Completion = std::function<void(const std::string& host)>;

    NcmDnsResolutionTask(NcmDnsClient* client, std::string host, Completion completion);
    ~NcmDnsResolutionTask();
    NcmDnsResolutionTask(const NcmDnsResolutionTask&) = delete;
    NcmDnsResolutionTask& operator=(const NcmDnsResolutionTask&) = delete;

    // Starts the DNS stage; does nothing once started.
    void doResolve();
    // Starts the HTTP-DNS stage.
    void doResolveByHttp();
    // The HTTP-DNS answers when there are any, else the DNS answers.
    void collectAnswerIpList(std::set<std::string>& out) const;
    // "server=a;b" per DNS request in order, joined by line feeds.
    std::string knownAddresses() const;

    void onDnsResponseOver(NcmDnsResolutionRequestDns* request);
    void onHttpResponseOver(NcmDnsResolutionRequestHttp* request);

    ResolverHost* service() const { return m_service; }
    // Seconds since the current DNS stage started.
    int64_t age() const;

    Completion completion;
    NcmDnsClient* const client;
    const std::string host;
    int64_t startTime = 0;
    int64_t endTime = 0;
    std::vector<std::string> udpServers;
    std::vector<std::string> tcpServers;
    // Framed A query for the host; empty when the name cannot be encoded.
    std::vector<uint8_t> query;
    int dnsAnswered = 0;
    int dnsFinished = 0;
    std::vector<std::shared_ptr<NcmDnsResolutionRequestDns>> dnsRequests;
    std::vector<std::string> httpServers;
    int httpAnswered = 0;
    int httpFinished = 0;
    int httpTimedOut = 0;
    bool fallbackDone = false;
    std::vector<std::shared_ptr<NcmDnsResolutionRequestHttp>> httpRequests;

private:
    void finish();
    void closeDnsRequests();
    void releaseHttpRequests();

    ResolverHost* const m_service;
    std::shared_ptr<NcmStats> m_stats;
};
