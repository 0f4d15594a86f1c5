#include "tests/support/DnsTestSupport.h"

#include "base/SocketUtil.h"
#include "resolver/DnsMessage.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dnstest {

Bytes fromHex(const std::string& hex)
{
    Bytes out;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

std::string toHex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

Bytes labels(const std::string& name)
{
    Bytes out;
    std::string piece;
    std::istringstream in(name);
    while (std::getline(in, piece, '.')) {
        out.push_back(static_cast<uint8_t>(piece.size()));
        out.insert(out.end(), piece.begin(), piece.end());
    }
    out.push_back(0);
    return out;
}

Bytes pointerTo(uint16_t offset)
{
    return { static_cast<uint8_t>(0xC0 | (offset >> 8)), static_cast<uint8_t>(offset & 0xFF) };
}

Record aRecord(const std::string& address, Bytes owner)
{
    Bytes data(4);
    if (inet_pton(AF_INET, address.c_str(), data.data()) != 1)
        throw std::invalid_argument(address);
    return { std::move(owner), DnsTypeA, DnsClassIn, 60, data };
}

Record aaaaRecord(const std::string& address, Bytes owner)
{
    Bytes data(16);
    if (inet_pton(AF_INET6, address.c_str(), data.data()) != 1)
        throw std::invalid_argument(address);
    return { std::move(owner), DnsTypeAaaa, DnsClassIn, 60, data };
}

Record soaRecord(Bytes owner)
{
    Bytes data = labels("ns.test");
    const Bytes mailbox = labels("hostmaster.test");
    data.insert(data.end(), mailbox.begin(), mailbox.end());
    // serial, refresh, retry, expire, minimum
    for (uint32_t v : { 2024u, 3600u, 600u, 86400u, 60u })
        for (int shift = 24; shift >= 0; shift -= 8)
            data.push_back(static_cast<uint8_t>(v >> shift));
    return { std::move(owner), DnsTypeSoa, DnsClassIn, 60, data };
}

namespace {

    void put16(Bytes& out, uint16_t v)
    {
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v & 0xFF));
    }

    void putRecord(Bytes& out, const Record& r)
    {
        out.insert(out.end(), r.owner.begin(), r.owner.end());
        put16(out, r.type);
        put16(out, r.rclass);
        put16(out, static_cast<uint16_t>(r.ttl >> 16));
        put16(out, static_cast<uint16_t>(r.ttl & 0xFFFF));
        put16(out, static_cast<uint16_t>(r.rdlengthOverride >= 0 ? r.rdlengthOverride : r.rdata.size()));
        out.insert(out.end(), r.rdata.begin(), r.rdata.end());
    }

} // namespace

Bytes makeReply(const Bytes& query, uint16_t flags, const std::vector<Record>& answers,
    const std::vector<Record>& authority)
{
    Bytes out(query.begin(), query.begin() + 2); // identifier
    put16(out, flags);
    put16(out, 1);
    put16(out, static_cast<uint16_t>(answers.size()));
    put16(out, static_cast<uint16_t>(authority.size()));
    put16(out, 0);
    out.insert(out.end(), query.begin() + 12, query.end()); // the question
    for (const Record& r : answers)
        putRecord(out, r);
    for (const Record& r : authority)
        putRecord(out, r);
    return out;
}

Bytes buildQueryMessage(const char* name, bool wantA)
{
    Bytes framed;
    if (!ncm_dns_build_query(name, framed, wantA))
        throw std::invalid_argument(name);
    return Bytes(framed.begin() + 2, framed.end());
}

// ------------------------------------------------------------------- logging

bool logged(const testsupport::LogCapture& log, char level, const std::string& tag, const std::string& text)
{
    const std::string tail = std::string("[") + level + "][" + tag + "] " + text;
    for (const std::string& line : log.lines())
        if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            return true;
    return false;
}

std::string dump(const testsupport::LogCapture& log)
{
    std::string out;
    for (const std::string& line : log.lines())
        out += line + "\n";
    return out;
}

// ----------------------------------------------------------- FakeUdpResolver

namespace {

    // Fills a socket address for a numeric IPv4 or IPv6 text.
    socklen_t makeAddress(const std::string& address, uint16_t port, sockaddr_storage& storage)
    {
        std::memset(&storage, 0, sizeof storage);
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            return sizeof(sockaddr_in);
        }
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            return sizeof(sockaddr_in6);
        }
        throw std::invalid_argument("not a numeric address: " + address);
    }

    bool waitReadable(int fd, int timeoutMs)
    {
        pollfd p { fd, POLLIN, 0 };
        return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
    }

} // namespace

FakeUdpResolver::FakeUdpResolver(const std::string& address, Handler handler)
    : m_handler(std::move(handler))
{
    sockaddr_storage storage;
    const socklen_t length = makeAddress(address, 0, storage);
    m_fd = socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&storage), length) != 0)
        throw std::runtime_error("cannot bind a UDP socket on " + address + ": " + std::strerror(errno));
    m_port = boundPort(m_fd);
    m_thread = std::thread([this] { run(); });
}

FakeUdpResolver::~FakeUdpResolver()
{
    m_stop = true;
    m_thread.join();
    close(m_fd);
}

std::vector<Bytes> FakeUdpResolver::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

void FakeUdpResolver::run()
{
    while (!m_stop) {
        if (!waitReadable(m_fd, 50))
            continue;
        uint8_t buffer[4096];
        sockaddr_storage peer;
        socklen_t peerLength = sizeof peer;
        const ssize_t n
            = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (n < 0)
            continue;
        Bytes query(buffer, buffer + n);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.push_back(query);
        }
        const Bytes reply = m_handler ? m_handler(query) : Bytes();
        if (!reply.empty())
            sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
    }
}

// ------------------------------------------------------------------- Dnsmasq

namespace {
    const char DnsmasqPath[] = "/usr/sbin/dnsmasq";
}

bool Dnsmasq::installed()
{
    return access(DnsmasqPath, X_OK) == 0;
}

Dnsmasq::Dnsmasq(const std::string& address, const std::vector<std::string>& options)
    : m_address(address)
{
    char dirTemplate[] = "/tmp/lumaview-dnsmasq-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        m_failure = "mkdtemp failed";
        return;
    }
    m_dir = dirTemplate;

    std::vector<std::string> args = {
        DnsmasqPath,
        "--no-daemon",
        "--conf-file=/dev/null",
        "--no-resolv",
        "--no-hosts",
        "--no-poll",
        "--bind-interfaces",
        "--listen-address=" + address,
        "--port=" + std::to_string(testsupport::DnsTestPort),
        "--pid-file=" + m_dir + "/dnsmasq.pid",
        "--log-facility=-",
        "--log-queries",
        // Answered once dnsmasq serves; see the readiness probe below.
        "--host-record=ready.lumaview.test,127.0.0.9",
    };
    args.insert(args.end(), options.begin(), options.end());

    const std::string logPath = m_dir + "/dnsmasq.log";
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (logFd >= 0) {
            dup2(logFd, 1);
            dup2(logFd, 2);
        }
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(DnsmasqPath, argv.data());
        _exit(127);
    }
    if (m_pid < 0) {
        m_failure = "fork failed";
        return;
    }

    const Bytes probe = buildQueryMessage("ready.lumaview.test", true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_failure = "dnsmasq exited: " + log();
            return;
        }
        if (!udpExchange(address, testsupport::DnsTestPort, probe, 100).empty())
            return;
    }
    m_failure = "dnsmasq did not answer: " + log();
}

Dnsmasq::~Dnsmasq()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status;
        bool gone = false;
        for (int i = 0; i < 100 && !gone; ++i) {
            gone = waitpid(m_pid, &status, WNOHANG) == m_pid;
            if (!gone)
                usleep(10 * 1000);
        }
        if (!gone) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
    }
    if (!m_dir.empty()) {
        unlink((m_dir + "/dnsmasq.log").c_str());
        unlink((m_dir + "/dnsmasq.pid").c_str());
        rmdir(m_dir.c_str());
    }
}

std::string Dnsmasq::log() const
{
    std::ifstream in(m_dir + "/dnsmasq.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ----------------------------------------------------------------- exchanges

Bytes udpExchange(const std::string& address, uint16_t port, const Bytes& message, int timeoutMs)
{
    sockaddr_storage storage;
    const socklen_t length = makeAddress(address, port, storage);
    const int fd = socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    Bytes reply;
    if (sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&storage), length)
            == static_cast<ssize_t>(message.size())
        && waitReadable(fd, timeoutMs)) {
        uint8_t buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            reply.assign(buffer, buffer + n);
    }
    close(fd);
    return reply;
}

Bytes tcpExchange(const std::string& address, uint16_t port, const Bytes& framed, int timeoutMs)
{
    sockaddr_storage storage;
    const socklen_t length = makeAddress(address, port, storage);
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    Bytes received;
    if (connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0
        && send(fd, framed.data(), framed.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(framed.size())) {
        for (;;) {
            const int expected = ncm_dns_frame_length(received.data(), received.size());
            if (expected >= 0 && received.size() >= 2 + static_cast<size_t>(expected))
                break;
            if (!waitReadable(fd, timeoutMs))
                break;
            uint8_t buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            received.insert(received.end(), buffer, buffer + n);
        }
    }
    close(fd);
    const int expected = ncm_dns_frame_length(received.data(), received.size());
    if (expected < 0 || received.size() < 2 + static_cast<size_t>(expected))
        return {};
    return Bytes(received.begin() + 2, received.begin() + 2 + expected);
}

} // namespace dnstest
