#include "tests/support/TestSupport.h"

#include "base/GlobalInit.h"
#include "base/SocketUtil.h"
#include "resolver/NcmSys.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {
    // No test asks the machine's own resolvers unless it points elsewhere.
    [[maybe_unused]] const bool g_hostResolversHidden = [] {
        NcmSys::setResolvConfPathForTest(NoResolvConf);
        return true;
    }();

    std::mutex g_logMutex;
    std::vector<std::string> g_logLines;

    // A socket of this type, bound to (bind) or connected to host:port; -1 on failure.
    evutil_socket_t ipv4Socket(const char* host, int port, int type, bool bindIt, int receiveBuffer = 0)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host, &address.sin_addr);
        const auto* a = reinterpret_cast<const sockaddr*>(&address);
        evutil_socket_t fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        int one = 1;
        if (bindIt)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (fd >= 0 && (bindIt ? bind(fd, a, sizeof address) : connect(fd, a, sizeof address)) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
} // namespace

LogCapture::LogCapture()
{
    proxyGlobalInit();
    clear();
    rootLogger.setOutput(&LogCapture::output);
}

LogCapture::~LogCapture()
{
    rootLogger.setOutput(nullptr);
}

int LogCapture::output(char level, const char* tag, const char* format, va_list args)
{
    char inlineStorage[80];
    LogLineBuffer line(inlineStorage, sizeof inlineStorage);
    formatLogLine(line, 0, level, tag, format, args);
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logLines.emplace_back(line.data, line.length);
    return 0;
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_logLines;
}

size_t LogCapture::count(const std::string& needle) const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    size_t n = 0;
    for (const auto& line : g_logLines)
        n += line.find(needle) != std::string::npos;
    return n;
}

bool LogCapture::waitFor(const std::string& needle, int timeoutMs, size_t times) const
{
    for (int waited = 0; count(needle) < times && waited < timeoutMs; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return count(needle) >= times;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logLines.clear();
}

bool runUntil(event_base* base, const std::function<bool()>& pred, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        event_base_loop(base, EVLOOP_ONCE | EVLOOP_NONBLOCK);
        if (!pred())
            usleep(1000);
    }
    return true;
}

void runFor(event_base* base, int milliseconds)
{
    timeval tv { milliseconds / 1000, (milliseconds % 1000) * 1000 };
    event_base_loopexit(base, &tv);
    event_base_dispatch(base);
}

evutil_socket_t bindSocket(const char* host, int port, int type)
{
    return ipv4Socket(host, port, type, true);
}

evutil_socket_t listenTcp(const char* host, int& port, int backlog)
{
    evutil_socket_t fd = bindSocket(host, port, SOCK_STREAM);
    if (fd >= 0 && listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    port = fd >= 0 ? boundPort(fd) : port;
    return fd;
}

evutil_socket_t connectTcp(const char* host, int port, int receiveBuffer)
{
    return ipv4Socket(host, port, SOCK_STREAM, false, receiveBuffer);
}

bool sendAll(evutil_socket_t fd, const std::string& data)
{
    for (size_t sent = 0; sent < data.size();) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string readSome(evutil_socket_t fd, size_t bytes, int timeoutMs)
{
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (out.size() < bytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p { fd, POLLIN, 0 };
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        ssize_t n = recv(fd, buffer, std::min(sizeof buffer, bytes - out.size()), 0);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

std::string exchange(int port, const std::string& request, int timeoutMs)
{
    const evutil_socket_t fd = connectTcp("127.0.0.1", port);
    if (fd < 0)
        return "connect failed";
    sendAll(fd, request);
    std::string answer = readAll(fd, timeoutMs);
    close(fd);
    return answer;
}

} // namespace testsupport
