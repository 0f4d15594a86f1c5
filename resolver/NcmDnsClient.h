#pragma once
#include "proxy/EventPtr.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

class NcmProxy;

// Receives the chosen IPv4 address text (empty when none). The caller owns
// the object and keeps it alive until it ran or was withdrawn.
using DnsCallback = std::function<void(const std::string&)>;

// Turns host names into addresses for the remote manager. One per
// activation; event-loop thread only.
//
// Interim: until the resolver proper lands this answers every host with the
// empty address in the next loop turn, so named hosts end in retries and 504.
class NcmDnsClient {
public:
    explicit NcmDnsClient(NcmProxy* proxy);
    ~NcmDnsClient();
    NcmDnsClient(const NcmDnsClient&) = delete;
    NcmDnsClient& operator=(const NcmDnsClient&) = delete;

    void chooseUsableIp(const std::string& host, DnsCallback* callback);
    void removeDnsCallback(const std::string& host, DnsCallback* callback);
    void discardUnusableIp(const std::string& host, const std::string& ip);
    void requestCacheClear();
    std::string statsLine();

private:
    static void onAnswer(evutil_socket_t, short, void* arg);

    std::vector<std::pair<std::string, DnsCallback*>> m_pending;
    EventPtr m_answerEvent;
};
