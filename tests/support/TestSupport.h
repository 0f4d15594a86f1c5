#pragma once
#include "base/EventPtr.h"
#include "base/Logger.h"

#include <event2/util.h>

#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Helpers shared by the tests: a log capture, loopback sockets and a way to
// run an event loop until a condition holds.
namespace testsupport {

// The port the tests' DNS servers (fakes and dnsmasq) listen on, so that no
// test needs root for port 53. The resolver is pointed at it through
// setDnsPortForTest.
constexpr int DnsTestPort = 10053;

// Collects every formatted log line while alive (installs itself as the
// root output). Thread-safe.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string& needle) const { return count(needle) > 0; }
    size_t count(const std::string& needle) const;
    void clear();

private:
    static int output(char level, const char* tag, const char* format, va_list args);
};

// Runs the loop until pred() is true or timeoutMs passes; returns pred().
bool runUntil(event_base* base, const std::function<bool()>& pred, int timeoutMs = 5000);

// Runs the loop for the given time.
void runFor(event_base* base, int milliseconds);

// A socket of the given type (SOCK_STREAM, SOCK_DGRAM) bound to host:port
// with SO_REUSEADDR; -1 on failure.
evutil_socket_t bindSocket(const char* host, int port, int type);

// A listening TCP socket on host:0 (or a given port); returns -1 on failure.
evutil_socket_t listenTcp(const char* host, int& port, int backlog = 16);

// Blocking helpers for the test's own sockets.
evutil_socket_t connectTcp(const char* host, int port);
bool sendAll(evutil_socket_t fd, const std::string& data);
// Reads until the peer closes or timeoutMs passes.
std::string readAll(evutil_socket_t fd, int timeoutMs = 5000);
// Reads until `bytes` bytes arrived, the peer closes or timeoutMs passes.
std::string readSome(evutil_socket_t fd, size_t bytes, int timeoutMs = 5000);

} // namespace testsupport
