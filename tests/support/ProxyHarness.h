#pragma once
#include "proxy/NcmProxy.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

const std::string Answer504 = "HTTP/1.0 504 Gateway Timeout\r\nProxy-Agent: Skylark/2.0\r\n\r\n";

// A proxy on its own loop thread and a free port; its end restores the root log level and the test clock.
class RunningProxy {
public:
    ~RunningProxy();
    // Activates with the given text; an empty text keeps proxy.config as set.
    bool start(const std::string& text);
    void stop() { proxy.stop(); }
    int port() const { return proxy.port(); }
    // Absolute-form GET through the proxy; everything until the proxy closes.
    std::string get(const std::string& url) const;

    NcmProxy proxy;
};

// A blocking TCP server running a handler per connection on its own thread; stop() ends them all.
class TestUpstream {
public:
    using Handler = std::function<void(int fd)>;
    explicit TestUpstream(Handler handler, const char* host = "127.0.0.1");
    ~TestUpstream() { stop(); }
    int port() const { return m_port; }
    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    int accepted() const { return m_accepted.load(); }
    void stop();

private:
    Handler m_handler;
    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping { false };
    std::atomic<int> m_accepted { 0 };
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::vector<int> m_fds;
    std::vector<std::thread> m_workers;
};

// Reads an HTTP/1.x head byte by byte, so that nothing after it is consumed.
std::string readHead(int fd, int timeoutMs = 5000);

} // namespace testsupport
