#pragma once
// Helpers for the resolver tests: hand-made DNS replies, a captured log, a
// scripted UDP resolver and a dnsmasq child process. Everything listens on
// loopback only.
#include "tests/support/TestSupport.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dnstest {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex); // spaces allowed
std::string toHex(const Bytes& bytes);

// Name as uncompressed labels ("a.b" -> 01 61 01 62 00).
Bytes labels(const std::string& name);
// A compression pointer to `offset`.
Bytes pointerTo(uint16_t offset);

struct Record {
    Bytes owner; // encoded name or pointer
    uint16_t type;
    uint16_t rclass;
    uint32_t ttl;
    Bytes rdata;
    // When set, written instead of rdata.size() (for lying records).
    int rdlengthOverride = -1;
};

Record aRecord(const std::string& address, Bytes owner = pointerTo(12));
Record aaaaRecord(const std::string& address, Bytes owner = pointerTo(12));
Record soaRecord(Bytes owner = pointerTo(12));

// A reply to `query` (a message without framing): same identifier and
// question, the given flags and sections.
Bytes makeReply(const Bytes& query, uint16_t flags, const std::vector<Record>& answers,
    const std::vector<Record>& authority = {});

// The message part of a framed query built by ncm_dns_build_query.
Bytes buildQueryMessage(const char* name, bool wantA);

// True when the capture holds the line "[level][tag] text" exactly.
bool logged(const testsupport::LogCapture& log, char level, const std::string& tag, const std::string& text);
// Every captured line, for failure messages.
std::string dump(const testsupport::LogCapture& log);

// A UDP resolver on a loopback address and an ephemeral port that answers
// each datagram with what the handler returns (nothing for an empty vector).
class FakeUdpResolver {
public:
    using Handler = std::function<Bytes(const Bytes& query)>;
    FakeUdpResolver(const std::string& address, Handler handler);
    ~FakeUdpResolver();
    FakeUdpResolver(const FakeUdpResolver&) = delete;
    FakeUdpResolver& operator=(const FakeUdpResolver&) = delete;

    uint16_t port() const { return m_port; }
    std::vector<Bytes> received() const;

private:
    void run();
    int m_fd = -1;
    uint16_t m_port = 0;
    Handler m_handler;
    std::atomic<bool> m_stop { false };
    mutable std::mutex m_mutex;
    std::vector<Bytes> m_received;
    std::thread m_thread;
};

// dnsmasq serving only the given local records on address:DnsTestPort. No config
// file, no upstream servers, no /etc/hosts, killed in the destructor (and by
// the kernel if the test process dies).
class Dnsmasq {
public:
    static bool installed();
    Dnsmasq(const std::string& address, const std::vector<std::string>& options);
    ~Dnsmasq();
    Dnsmasq(const Dnsmasq&) = delete;
    Dnsmasq& operator=(const Dnsmasq&) = delete;

    // Empty when dnsmasq answered; otherwise why it is not serving.
    const std::string& failure() const { return m_failure; }
    std::string log() const;

private:
    std::string m_address;
    std::string m_dir;
    pid_t m_pid = -1;
    std::string m_failure;
};

// One query/answer exchange with a loopback server. Returns an empty vector
// when nothing came back within the timeout.
Bytes udpExchange(const std::string& address, uint16_t port, const Bytes& message, int timeoutMs = 2000);
// Sends the framed query over TCP and returns the reply message (without its
// two-byte length), or an empty vector.
Bytes tcpExchange(const std::string& address, uint16_t port, const Bytes& framed, int timeoutMs = 2000);

} // namespace dnstest
