#include "tests/support/ProxyHarness.h"

#include "base/Clock.h"
#include "tests/support/TestSupport.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

RunningProxy::~RunningProxy()
{
    stop();
    rootLogger.setLevel('V');
    Clock::resetForTest();
}

std::string RunningProxy::get(const std::string& url) const
{
    return exchange(port(), "GET " + url + " HTTP/1.1\r\nHost: upstream\r\n\r\n", 10000);
}

bool RunningProxy::start(const std::string& text)
{
    proxyGlobalInit();
    proxy.activate(text.c_str());
    return proxy.port() > 0;
}

TestUpstream::TestUpstream(Handler handler, const char* host)
    : m_handler(std::move(handler))
{
    m_listenFd = listenTcp(host, m_port, 128);
    m_acceptThread = std::thread([this] {
        for (;;) {
            pollfd p { m_listenFd, POLLIN, 0 };
            int ready = poll(&p, 1, 50);
            if (m_stopping)
                return;
            if (ready <= 0)
                continue;
            int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++m_accepted;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fds.push_back(fd);
            m_workers.emplace_back([this, fd] { m_handler(fd); });
        }
    });
}

void TestUpstream::stop()
{
    if (m_stopping.exchange(true))
        return;
    m_acceptThread.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int fd : m_fds)
            shutdown(fd, SHUT_RDWR);
        workers = std::move(m_workers);
    }
    for (auto& worker : workers)
        worker.join();
    for (int fd : m_fds)
        close(fd);
    close(m_listenFd);
}

std::string readHead(int fd, int timeoutMs)
{
    std::string head;
    while (head.size() < 65536 && (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0)) {
        const std::string byte = readSome(fd, 1, timeoutMs);
        if (byte.empty())
            break;
        head += byte;
    }
    return head;
}

} // namespace testsupport
