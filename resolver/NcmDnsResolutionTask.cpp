#include "resolver/NcmDnsResolutionTask.h"

#include "base/Clock.h"
#include "base/Logger.h"
#include "base/StringUtil.h"
#include "resolver/DnsMessage.h"
#include "resolver/DnsReports.h"
#include "resolver/LocalIpStack.h"
#include "resolver/NcmDnsClient.h"
#include "resolver/NcmDnsResolutionRequestHttp.h"
#include "resolver/ResolverHost.h"
#include "transport/Nat64Address.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t TcpSmallWriteBytes = 10;
// A DNS message over TCP is at most 65535 bytes after its 2-byte length.
constexpr size_t MaxReadBytes = 65537;

bool retriable(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EINPROGRESS;
}

} // namespace

// ---------------------------------------------------------------- request

namespace {
std::atomic<uint16_t> g_dnsPort { 0 };
}

uint16_t dnsServerPort()
{
    const uint16_t port = g_dnsPort.load();
    return port ? port : 53;
}

void setDnsPortForTest(uint16_t port)
{
    g_dnsPort = port;
}

NcmDnsResolutionRequestDns::NcmDnsResolutionRequestDns(
    NcmDnsResolutionTask* owner, std::string protocolName, std::string serverText)
    : task(owner)
    , protocol(std::move(protocolName))
    , server(std::move(serverText))
{
}

NcmDnsResolutionRequestDns::~NcmDnsResolutionRequestDns()
{
    close();
}

void NcmDnsResolutionRequestDns::close()
{
    // The event goes before its descriptor.
    event.reset();
    fd.reset();
}

bool NcmDnsResolutionRequestDns::doQuery()
{
    logDnsResolution.debug("doQuery dns task=%p req=%p", ptr(task), ptr(this));
    if (task->query.size() <= 2)
        return false;
    const int type = protocol == "udp" ? SOCK_DGRAM : protocol == "tcp" ? SOCK_STREAM : -1;
    if (type < 0)
        return false;

    std::string target;
    bool ipv6 = false;
    if (!nat64AddressFor(task->service()->ipStack, server, target, ipv6))
        return false;
    const std::string port = std::to_string(dnsServerPort());
    const std::string text = ipv6 ? "[" + target + "]:" + port : target + ":" + port;
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    int length = sizeof address;
    if (evutil_parse_sockaddr_port(text.c_str(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    // "::1" and the like would parse as an IPv6 address without a port.
    if (address.ss_family != (ipv6 ? AF_INET6 : AF_INET))
        return false;

    fd.reset(socket(address.ss_family, type | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return false;
    if (evutil_make_socket_nonblocking(fd.get()) != 0) {
        close();
        return false;
    }
    // The outcome shows when the socket becomes writable (or readable with
    // an error); a refused destination ends the request there.
    (void)connect(fd.get(), reinterpret_cast<sockaddr*>(&address), static_cast<socklen_t>(length));
    if (!watch(EV_WRITE)) {
        close();
        return false;
    }
    return true;
}

bool NcmDnsResolutionRequestDns::watch(short what)
{
    event_base* base = task->service()->eventBase.get();
    EventPtr fresh(event_new(
        base, fd.get(), static_cast<short>(what | EV_PERSIST), &NcmDnsResolutionRequestDns::evcb_dns, this));
    if (!fresh)
        return false;
    // May run inside the old event's own handler; freeing it there is safe.
    event = std::move(fresh);
    timeval wait { task->service()->config.resolveTimeoutDns, 0 };
    if (wait.tv_sec < 0)
        wait.tv_sec = 0;
    return event_add(event.get(), &wait) == 0;
}

void NcmDnsResolutionRequestDns::evcb_dns(evutil_socket_t, short what, void* arg)
{
    auto* request = static_cast<NcmDnsResolutionRequestDns*>(arg);
    // The client may drop the task (and with it this request) inside the
    // completion that this handler can reach.
    std::shared_ptr<NcmDnsResolutionRequestDns> keepRequest = request->shared_from_this();
    std::shared_ptr<NcmDnsResolutionTask> keepTask = request->task->shared_from_this();

    if (what & EV_TIMEOUT) {
        request->task->onDnsResponseOver(request);
        return;
    }
    bool over = false;
    if (what & EV_WRITE)
        over = request->onWritable();
    else if (what & EV_READ)
        over = request->onReadable();
    if (!over)
        return;
    logDnsResolution.debug("evcb_dns requestOver task=%p req=%p", ptr(request->task), ptr(request));
    request->task->onDnsResponseOver(request);
}

bool NcmDnsResolutionRequestDns::onWritable()
{
    const ProxyConfig& config = task->service()->config;
    const std::vector<uint8_t>& query = task->query;
    if (!config.debugDnsTcpDelayWrite) {
        if (protocol == "udp") {
            const size_t length = query.size() - 2;
            const ssize_t n = send(fd.get(), query.data() + 2, length, MSG_NOSIGNAL);
            if (n < static_cast<ssize_t>(length)) {
                logDnsResolution.debug("udp send to %s failed for %s", server.c_str(), task->host.c_str());
                return true;
            }
        } else {
            size_t chunk = query.size() - sent;
            if (config.debugDnsTcpSmallWrites)
                chunk = std::min(chunk, TcpSmallWriteBytes);
            const ssize_t n = send(fd.get(), query.data() + sent, chunk, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n < 0 && !retriable(errno)) {
                // Refused or reset: no reply can come.
                logDnsResolution.debug("tcp send to %s failed for %s: %s", server.c_str(), task->host.c_str(),
                    std::strerror(errno));
                return true;
            }
            if (sent < query.size())
                return false;
        }
    }
    if (!watch(EV_READ)) {
        logDnsResolution.error("SOMETHING WRONG! can not wait for the reply of %s", server.c_str());
        return true;
    }
    return false;
}

bool NcmDnsResolutionRequestDns::onReadable()
{
    int available = 0;
    if (ioctl(fd.get(), FIONREAD, &available) != 0) {
        logDnsResolution.error("SOMETHING WRONG! FIONREAD failed on the socket of %s", server.c_str());
        return true;
    }
    // Nothing waiting on a readable socket means an error or the end of the
    // stream; one byte of room tells them apart.
    size_t want = available > 0 ? static_cast<size_t>(available) : 1;
    want = std::min(want, MaxReadBytes);
    std::vector<uint8_t> buffer(want);
    const ssize_t n = recvfrom(fd.get(), buffer.data(), want, 0, nullptr, nullptr);
    const bool readFailed = n < 0 && !retriable(errno);
    if (n > 0)
        response.insert(response.end(), buffer.begin(), buffer.begin() + n);
    if (response.size() > MaxReadBytes)
        return true; // more than one whole frame can hold

    const std::vector<uint8_t>& query = task->query;
    if (n < 0 && !readFailed)
        return false; // woken for nothing: keep waiting
    if (protocol == "udp") {
        const int rc = ncm_dns_parse_response(
            query.data() + 2, query.size() - 2, response.data(), response.size(), ips, true);
        if (rc == -2 && !readFailed) {
            // Not the reply to this query (forged, late or garbage): the
            // real one may still come, until the request's time-out.
            logDnsResolution.debug("udp datagram for %s ignored: not the reply", task->host.c_str());
            response.clear();
            return task->age() >= task->service()->config.resolveTimeoutDns;
        }
        success = rc == 0;
        logDnsResolution.debug("udp over %s with %d ip", task->host.c_str(), static_cast<int>(ips.size()));
        return true;
    }

    if (response.size() >= 2) {
        const int frame = ncm_dns_frame_length(response.data(), response.size());
        if (frame == 0)
            return true; // an empty frame holds no reply
        if (frame > 0 && response.size() >= static_cast<size_t>(frame) + 2) {
            success = ncm_dns_parse_response(query.data() + 2, query.size() - 2, response.data() + 2,
                          static_cast<size_t>(frame), ips, true)
                == 0;
            logDnsResolution.debug(
                "tcp over %s with %d ip", task->host.c_str(), static_cast<int>(ips.size()));
            return true;
        }
    }
    // A stream closed before the whole reply arrived can never complete,
    // and one that trickles (each piece restarts the wait) must not hold
    // the task for longer than the task waits for answers.
    return readFailed || n == 0 || task->age() >= task->service()->config.resolveTimeoutCallback;
}

// ---------------------------------------------------------------- task

NcmDnsResolutionTask::NcmDnsResolutionTask(NcmDnsClient* owner, std::string hostName, Completion done)
    : completion(std::move(done))
    , client(owner)
    , host(std::move(hostName))
    , m_service(owner->service())
    , m_stats(m_service->stats)
{
    if (m_stats)
        m_stats->dnsctx += 1;
    // A name with a NUL would be cut short and another name asked for.
    if (host.find('\0') == std::string::npos)
        ncm_dns_build_query(host.c_str(), query, true);
}

NcmDnsResolutionTask::~NcmDnsResolutionTask()
{
    closeDnsRequests();
    dnsRequests.clear();
    httpRequests.clear();
    if (m_stats)
        m_stats->dnsctx -= 1;
}

int64_t NcmDnsResolutionTask::age() const
{
    const int64_t now = Clock::nowSeconds();
    return now > startTime ? now - startTime : startTime - now;
}

void NcmDnsResolutionTask::doResolve()
{
    if (startTime != 0)
        return;
    std::shared_ptr<NcmDnsResolutionTask> keep = shared_from_this();
    startTime = Clock::nowSeconds();

    // Every request of the stage exists before the first starts, so that
    // the stage's size is fixed while requests are counted.
    for (const std::string& server : udpServers)
        dnsRequests.push_back(std::make_shared<NcmDnsResolutionRequestDns>(this, "udp", server));
    for (const std::string& server : tcpServers)
        dnsRequests.push_back(std::make_shared<NcmDnsResolutionRequestDns>(this, "tcp", server));

    int started = 0;
    int failed = 0;
    for (const auto& request : dnsRequests) {
        if (request->doQuery()) {
            ++started;
        } else {
            // Ends unanswered here; it has no event that could end it later.
            logDnsResolution.debug("doQuery dns failed for %s: %s %s", host.c_str(),
                request->protocol.c_str(), request->server.c_str());
            request->close();
            request->over = true;
            ++failed;
        }
    }
    dnsFinished += failed;
    if (started == 0) {
        logDnsResolution.debug("NcmDnsResolutionTask::doResolve %s no dns list, over", host.c_str());
        finish();
    }
}

void NcmDnsResolutionTask::onDnsResponseOver(NcmDnsResolutionRequestDns* request)
{
    if (request->over || endTime != 0)
        return;
    request->over = true;
    std::shared_ptr<NcmDnsResolutionTask> keep = shared_from_this();
    logDnsResolution.debug("onDnsResponseOver task=%p req=%p for: %s", ptr(this), ptr(request), host.c_str());
    request->close();
    ++dnsFinished;
    if (request->success)
        ++dnsAnswered;
    if (dnsAnswered < 2 && dnsFinished < static_cast<int>(dnsRequests.size())
        && age() < m_service->config.resolveTimeoutCallback)
        return;

    logDnsResolution.debug("onDnsResponseOver complete task=%p for: %s", ptr(this), host.c_str());
    closeDnsRequests();
    if (!fallbackDone) {
        doResolveByHttp();
    } else {
        logDnsResolution.debug("onDnsResponseOver alread execute http resolve task for: %s", host.c_str());
        finish();
    }
}

void NcmDnsResolutionTask::doResolveByHttp()
{
    std::shared_ptr<NcmDnsResolutionTask> keep = shared_from_this();
    for (const std::string& server : httpServers)
        httpRequests.push_back(std::make_shared<NcmDnsResolutionRequestHttp>(this, server));
    int started = 0;
    int failed = 0;
    for (const auto& request : httpRequests) {
        if (request->doQuery()) {
            ++started;
        } else {
            logDnsResolution.debug("doQuery http failed for %s: %s", host.c_str(), request->server.c_str());
            request->release();
            request->over = true;
            ++failed;
        }
    }
    httpFinished += failed;
    if (started == 0) {
        logDnsResolution.debug(
            "NcmDnsResolutionTask::doResolveByHttp %s no http dns list, over", host.c_str());
        finish();
    }
}

void NcmDnsResolutionTask::onHttpResponseOver(NcmDnsResolutionRequestHttp* request)
{
    if (request->over || endTime != 0)
        return;
    request->over = true;
    std::shared_ptr<NcmDnsResolutionTask> keep = shared_from_this();
    logDnsResolution.debug(
        "onHttpResponseOver task=%p req=%p for: %s", ptr(this), ptr(request), host.c_str());
    request->release();
    ++httpFinished;
    if (request->success)
        ++httpAnswered;
    if (httpAnswered < 1 && httpFinished < static_cast<int>(httpRequests.size())
        && age() < m_service->config.resolveTimeoutCallback)
        return;

    logDnsResolution.debug("onHttpResponseOver complete task for: %s", host.c_str());
    releaseHttpRequests();
    std::set<std::string> answers;
    for (const auto& http : httpRequests) {
        if (http->success)
            answers.insert(http->ips.begin(), http->ips.end());
    }

    if (httpTimedOut >= static_cast<int>(httpRequests.size())) {
        std::vector<std::string> servers;
        for (const auto& http : httpRequests)
            servers.push_back(http->server);
        queueHttpDnsErrorReports(*m_service, servers);
    }

    const bool systemResolvers = m_service->config.useSystemDns && client->systemDnsKnown();
    if (!answers.empty() || !(systemResolvers || m_service->ipStack.ipv6Only)) {
        finish();
        return;
    }

    // HTTP-DNS could not confirm what the system's resolvers said: ask the
    // configured ones instead.
    startTime = 0;
    dnsAnswered = 0;
    dnsFinished = 0;
    closeDnsRequests();
    dnsRequests.clear();
    httpRequests.clear();
    udpServers.clear();
    tcpServers.clear();
    fallbackDone = true;
    udpServers = client->configDnsUdp();
    logDnsResolution.debug("use local dns resolve and httpdns verify fail, so use default dns resolve(%s)",
        StringUtil::join(udpServers, ",").c_str());
    doResolve();
}

void NcmDnsResolutionTask::finish()
{
    if (endTime != 0)
        return;
    std::shared_ptr<NcmDnsResolutionTask> keep = shared_from_this();
    endTime = Clock::nowSeconds();
    // Copies: the completion may drop this task's owner.
    const Completion done = completion;
    const std::string name = host;
    if (done)
        done(name);
}

void NcmDnsResolutionTask::closeDnsRequests()
{
    for (const auto& request : dnsRequests) {
        request->close();
        request->over = true;
    }
}

void NcmDnsResolutionTask::releaseHttpRequests()
{
    for (const auto& request : httpRequests) {
        request->release();
        request->over = true;
    }
}

void NcmDnsResolutionTask::collectAnswerIpList(std::set<std::string>& out) const
{
    for (const auto& http : httpRequests) {
        if (http->success)
            out.insert(http->ips.begin(), http->ips.end());
    }
    if (!out.empty()) {
        logDnsResolution.debug(
            "collectAnswerIpList use http response to provide resolved ip for %s", host.c_str());
        return;
    }
    logDnsResolution.debug(
        "collectAnswerIpList no http response, use dns response to provide resolved ip for %s", host.c_str());
    for (const auto& dns : dnsRequests) {
        if (dns->success)
            out.insert(dns->ips.begin(), dns->ips.end());
    }
}

std::string NcmDnsResolutionTask::knownAddresses() const
{
    std::string text;
    for (size_t i = 0; i < dnsRequests.size(); ++i) {
        const NcmDnsResolutionRequestDns& dns = *dnsRequests[i];
        if (i)
            text += '\n';
        text += dns.server;
        text += '=';
        if (dns.success && !dns.ips.empty())
            text += StringUtil::join(dns.ips, ";");
    }
    return text;
}
