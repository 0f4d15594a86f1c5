#pragma once
#include "base/EventPtr.h"
#include "base/Logger.h"

#include <event2/util.h>

#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Helpers shared by the tests: a log capture, loopback sockets, loops run until a condition holds.
namespace testsupport {

// The tests' DNS servers listen here, so that no test needs root for port 53.
constexpr int DnsTestPort = 10053;
constexpr const char* NoResolvConf = "/dev/null";

// Collects every formatted log line while alive (installs itself as the root output). Thread-safe.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string& needle) const { return count(needle) > 0; }
    size_t count(const std::string& needle) const;
    // Waits (sleeping, not running a loop) until `times` lines hold `needle`; returns whether they do.
    bool waitFor(const std::string& needle, int timeoutMs = 3000, size_t times = 1) const;
    void clear();

private:
    static int output(char level, const char* tag, const char* format, va_list args);
};

// Runs the loop until pred() is true or timeoutMs passes; returns pred().
bool runUntil(event_base* base, const std::function<bool()>& pred, int timeoutMs = 5000);
void runFor(event_base* base, int milliseconds);

// An IPv4 socket of the given type bound to host:port with SO_REUSEADDR; -1 on failure.
evutil_socket_t bindSocket(const char* host, int port, int type);
// A listening TCP socket on host:port (0: any, then set to the one bound); -1 on failure.
evutil_socket_t listenTcp(const char* host, int& port, int backlog = 16);

// Blocking helpers for the test's own sockets. A receive buffer size is set before the handshake.
evutil_socket_t connectTcp(const char* host, int port, int receiveBuffer = 0);
bool sendAll(evutil_socket_t fd, const std::string& data);
// Reads until `bytes` bytes arrived, the peer closes or timeoutMs passes.
std::string readSome(evutil_socket_t fd, size_t bytes, int timeoutMs = 5000);
// Reads until the peer closes or timeoutMs passes.
inline std::string readAll(evutil_socket_t fd, int timeoutMs = 5000)
{
    return readSome(fd, size_t(-1), timeoutMs);
}
// Connects to 127.0.0.1:port, sends `request` and reads until the peer closes.
std::string exchange(int port, const std::string& request, int timeoutMs = 3000);

} // namespace testsupport
