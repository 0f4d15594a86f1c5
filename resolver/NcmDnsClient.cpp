#include "resolver/NcmDnsClient.h"

#include "base/Clock.h"
#include "base/Logger.h"
#include "base/StringUtil.h"
#include "resolver/DnsReports.h"
#include "resolver/LocalIpStack.h"
#include "resolver/Nat64Discovery.h"
#include "resolver/NcmDnsResolutionTask.h"
#include "resolver/NcmSys.h"
#include "resolver/ResolverHost.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <system_error>

namespace {

constexpr int64_t SystemDnsCheckSeconds = 10;
constexpr int64_t CacheSweepSeconds = 10;
constexpr int64_t HttpDnsPrepareSeconds = 60;
constexpr int64_t Nat64RetrySeconds = 60;
const char FakeIp[] = "1.1.1.1";
const char LoopbackIp[] = "127.0.0.1";

// "localhost" and every name under it, in any case, with or without the
// final dot.
bool isLocalhostName(const std::string& host)
{
    std::string name = StringUtil::toLower(host);
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    return name == "localhost" || (StringUtil::endsWith(name, ".localhost") && name[0] != '.');
}

} // namespace

NcmDnsClient::NcmDnsClient(ResolverHost* service)
    : m_service(service)
    , m_hostDns(NcmSys::getSystemDns())
{
    prepareConfigDns();
}

NcmDnsClient::~NcmDnsClient()
{
    // A NAT64 worker still running is not waited for (its lookup may take
    // half a minute): it finishes alone and finds nobody to tell.
    if (m_nat64Job) {
        std::lock_guard<std::mutex> lock(m_nat64Job->mutex);
        m_nat64Job->done = nullptr;
    }
    m_nat64Done.reset();
    // Tasks go without calling anyone; their requests close their sockets.
    m_httpDnsHostTasks.clear();
    m_taskMap.clear();
    m_callbackMap.clear();
}

void NcmDnsClient::shuffle(std::vector<std::string>& list)
{
    for (size_t i = 1; i < list.size(); ++i) {
        std::uniform_int_distribution<size_t> draw(0, i);
        std::swap(list[i], list[draw(m_service->rng)]);
    }
}

std::vector<std::string> NcmDnsClient::pickRandom(const std::vector<std::string>& list, size_t n)
{
    std::vector<std::string> copy = list;
    shuffle(copy);
    if (copy.size() > n)
        copy.resize(n);
    return copy;
}

void NcmDnsClient::prepareConfigDns()
{
    const ProxyConfig& config = m_service->config;
    // The order of the three draws is part of the behaviour.
    m_configDnsUdp = pickRandom(config.dnsUdp, 2);
    m_configDnsTcp = pickRandom(config.dnsTcp, 2);
    const std::vector<std::string> configDnsHttp = pickRandom(config.dnsHttp, 2);
    logDnsClient.debug("prepareConfigDns configDnsUdp=%s", StringUtil::join(m_configDnsUdp, ",").c_str());
    logDnsClient.debug("prepareConfigDns configDnsTcp=%s", StringUtil::join(m_configDnsTcp, ",").c_str());
    logDnsClient.debug("prepareConfigDns configDnsHttp=%s", StringUtil::join(configDnsHttp, ",").c_str());
    for (const std::string& entry : configDnsHttp) {
        const size_t colon = entry.find(':');
        if (colon == std::string::npos)
            m_httpDnsHosts.emplace_back(entry, "80");
        else
            m_httpDnsHosts.emplace_back(entry.substr(0, colon), entry.substr(colon + 1));
    }
}

void NcmDnsClient::chooseUsableIp(const std::string& host, DnsCallback* callback)
{
    if (host.empty()) {
        // Origin-form targets carry no host: nothing to ask anyone.
        logDnsClient.info("chooseUsableIp no host name, no ip");
        (*callback)(std::string());
        return;
    }
    if (!StringUtil::hasOnlyNonEmptyLabels(host)) {
        // "a..b" would be asked for as "a": no query, and nothing cached under it.
        logDnsClient.info("chooseUsableIp empty label in %s, no ip", host.c_str());
        (*callback)(std::string());
        return;
    }
    if (isLocalhostName(host)) {
        // Always this machine, never anyone's to answer.
        logDnsClient.info("chooseUsableIp %s is this machine", host.c_str());
        (*callback)(std::string(LoopbackIp));
        return;
    }
    const int64_t now = Clock::nowSeconds();
    if (m_cacheClearRequested) {
        m_cacheClearRequested = false;
        m_ipCache.clear();
    }

    bool detectStack = false;
    if (absDiff(now, m_lastSystemDnsCheck) > SystemDnsCheckSeconds) {
        m_lastSystemDnsCheck = now;
        std::vector<std::string> servers = m_hostDns;
        if (servers.empty()) {
            servers = m_configDnsUdp;
            m_systemDnsKnown = false;
        } else {
            m_systemDnsKnown = true;
        }
        if (servers != m_systemDns) {
            m_systemDns = servers;
            m_ipCache.clear();
            logDnsClient.debug("system dns updated: %s", StringUtil::join(m_systemDns, ",").c_str());
            detectStack = true;
        }
    }
    if (detectStack || m_localIpStack == ELocalIPStack_None) {
        m_localIpStack = DetectLocalIPStack();
        m_service->ipStack.ipv6Only = m_localIpStack == ELocalIPStack_IPv6;
        logDnsClient.debug("LocalIPStack: %s", localIpStackName(m_localIpStack));
    }
    if (m_service->ipStack.ipv6Only && !m_service->ipStack.nat64Known)
        startNat64Discovery(now);

    if (absDiff(now, m_lastCacheSweep) >= CacheSweepSeconds) {
        m_lastCacheSweep = now;
        const int64_t expiration = m_service->config.dnsHostIpCacheExpiration;
        for (auto it = m_ipCache.begin(); it != m_ipCache.end();) {
            if (absDiff(now, it->second.updateTime) >= expiration) {
                logDnsClient.debug("chooseUsableIp clear expired cached ip: %s", it->first.c_str());
                it = m_ipCache.erase(it);
            } else {
                ++it;
            }
        }
    }

    if (m_service->config.dnsCacheDisabled) {
        logDnsClient.info("chooseUsableIp ncm dns cached disabled");
    } else {
        auto cached = m_ipCache.find(host);
        if (cached != m_ipCache.end() && !cached->second.ips.empty()) {
            const std::string ip = cached->second.ips.front();
            logDnsClient.info("chooseUsableIp uses cached ip: %s", ip.c_str());
            (*callback)(ip);
            return;
        }
    }
    logDnsClient.info("chooseUsableIp will resolve hostname: %s", host.c_str());
    resolveToChooseUsableIp(host, callback);
}

void NcmDnsClient::startNat64Discovery(int64_t now)
{
    if (m_nat64Job || (m_nat64Started && absDiff(now, m_nat64LastStart) < Nat64RetrySeconds))
        return;
    if (!m_nat64Done)
        m_nat64Done.reset(event_new(m_service->eventBase.get(), -1, 0, &NcmDnsClient::onNat64Done, this));
    if (!m_nat64Done)
        return;
    m_nat64Started = true;
    m_nat64LastStart = now;
    auto job = std::make_shared<Nat64Job>();
    job->search = Nat64Search(m_systemDnsKnown, m_systemDns);
    job->done = m_nat64Done.get();
    m_nat64Job = job;
    logDnsClient.debug("NAT64 discovery started");
    try {
        // Detached: the worker holds its job and nothing else of the client.
        std::thread([job] {
            job->search.run();
            std::lock_guard<std::mutex> lock(job->mutex);
            job->finished = true;
            // libevent runs with pthreads locking: activating from here is safe.
            if (job->done)
                event_active(job->done, 0, 0);
        }).detach();
    } catch (const std::system_error&) {
        logDnsClient.error("SOMETHING WRONG! can not start the NAT64 discovery thread");
        m_nat64Job.reset();
    }
}

void NcmDnsClient::onNat64Done(evutil_socket_t, short, void* arg)
{
    auto* self = static_cast<NcmDnsClient*>(arg);
    std::shared_ptr<Nat64Job> job = std::move(self->m_nat64Job);
    if (!job)
        return;
    {
        // The worker's last act was the activation, under this lock.
        std::lock_guard<std::mutex> lock(job->mutex);
        if (!job->finished)
            return;
    }
    job->search.writeLog();
    if (job->search.storeIn(self->m_service->ipStack)) {
        logDnsClient.debug("NAT64 discovery found the address");
    } else {
        logDnsClient.info("NAT64 discovery found nothing; tried again in a minute at the earliest");
    }
}

void NcmDnsClient::resolveToChooseUsableIp(const std::string& host, DnsCallback* callback)
{
    m_callbackMap[host].push_back(callback);

    const int64_t now = Clock::nowSeconds();
    std::vector<std::string> expired;
    for (const auto& entry : m_taskMap) {
        const NcmDnsResolutionTask& task = *entry.second;
        if (task.startTime != 0 && entry.first != host
            && absDiff(now, task.startTime) >= m_service->config.resolveTimeoutCallback)
            expired.push_back(entry.first);
    }
    for (const std::string& expiredHost : expired) {
        logDnsClient.debug("resolveToChooseUsableIp destroy timeout task for: %s", expiredHost.c_str());
        onResolveOver(expiredHost);
    }

    if (m_taskMap.count(host)) {
        logDnsClient.debug(
            "resolveToChooseUsableIp another task is running, callback pended for: %s", host.c_str());
        return;
    }
    logDnsClient.debug("resolveToChooseUsableIp start new dns task for: %s", host.c_str());
    m_service->stats->dnsreq += 1;
    // Held here as well: the task may end, and leave the map, before this returns.
    TaskPtr task = std::make_shared<NcmDnsResolutionTask>(
        this, host, [this](const std::string& name) { onResolveOver(name); });
    m_taskMap[host] = task;
    if (m_service->config.useSystemDns && !m_service->ipStack.ipv6Only)
        task->udpServers = m_systemDns;
    else
        task->udpServers = m_configDnsUdp;

    prepareHttpDns();
    if (m_httpDnsPending) {
        logDnsClient.debug("resolveToChooseUsableIp pend task %s, wait for http dns", host.c_str());
        return;
    }
    if (task->startTime != 0)
        return; // started while the HTTP-DNS servers were settled just now
    task->httpServers = m_httpDnsServers;
    task->doResolve();
}

std::vector<std::string> NcmDnsClient::answerList(const NcmDnsResolutionTask& task)
{
    std::set<std::string> answers;
    task.collectAnswerIpList(answers);
    return std::vector<std::string>(answers.begin(), answers.end());
}

void NcmDnsClient::onResolveOver(const std::string& hostRef)
{
    // The host may live inside the task that is about to go.
    const std::string host = hostRef;
    auto found = m_taskMap.find(host);
    if (found == m_taskMap.end())
        return;
    TaskPtr task = found->second;

    std::vector<std::string> answers = answerList(*task);
    logDnsClient.debug("onResolveOver: %s = %s", host.c_str(), StringUtil::join(answers, ",").c_str());
    std::vector<std::string> ips = answers;
    shuffle(ips);

    const auto configured = m_service->config.domainIps.find(host);
    if (configured != m_service->config.domainIps.end()) {
        for (const std::string& ip : configured->second) {
            if (std::find(answers.begin(), answers.end(), ip) == answers.end())
                ips.push_back(ip);
        }
    }
    std::string chosen;
    if (!ips.empty()) {
        if (m_service->config.debugInjectFakeIp) {
            logDnsClient.info("injecting fake ip to debug dns hijack ...");
            ips.insert(ips.begin(), FakeIp);
        }
        chosen = ips.front();
    }
    CachedHostIps& entry = m_ipCache[host];
    entry.updateTime = Clock::nowSeconds();
    entry.ips = std::move(ips);

    std::vector<DnsCallback*> callbacks;
    auto waiting = m_callbackMap.find(host);
    if (waiting != m_callbackMap.end()) {
        callbacks = std::move(waiting->second);
        m_callbackMap.erase(waiting);
    }
    m_taskMap.erase(host);
    task.reset(); // nothing touches the task from here on

    // Detached first, so that a callback may ask again for this host; still
    // visible to removeDnsCallback, so that a withdrawn one is skipped.
    m_dispatching.push_back(Dispatch { &host, &callbacks });
    for (size_t i = 0; i < callbacks.size(); ++i) {
        DnsCallback* callback = callbacks[i];
        if (!callback)
            continue;
        callbacks[i] = nullptr;
        (*callback)(chosen);
    }
    m_dispatching.pop_back();
}

void NcmDnsClient::removeDnsCallback(const std::string& host, DnsCallback* callback)
{
    bool known = false;
    auto waiting = m_callbackMap.find(host);
    if (waiting != m_callbackMap.end()) {
        known = true;
        auto& list = waiting->second;
        list.erase(std::remove(list.begin(), list.end(), callback), list.end());
    }
    for (Dispatch& dispatch : m_dispatching) {
        if (*dispatch.host != host)
            continue;
        known = true;
        std::replace(dispatch.callbacks->begin(), dispatch.callbacks->end(), callback,
            static_cast<DnsCallback*>(nullptr));
    }
    if (known)
        logDnsClient.debug("remove dns callback: %s (%p)", host.c_str(), ptr(callback));
}

void NcmDnsClient::discardUnusableIp(const std::string& host, const std::string& ip)
{
    auto cached = m_ipCache.find(host);
    if (cached == m_ipCache.end()) {
        logDnsClient.error("discardUnusableIp can not find host %s to discard %s", host.c_str(), ip.c_str());
        return;
    }
    std::vector<std::string>& ips = cached->second.ips;
    const size_t before = ips.size();
    ips.erase(std::remove(ips.begin(), ips.end(), ip), ips.end());
    if (ips.size() == before) {
        logDnsClient.debug("discardUnusableIp can't find host cached ip: %s, %s", host.c_str(), ip.c_str());
        return;
    }
    queueUnusableIpReport(*m_service, host, ip);
    logDnsClient.debug("discardUnusableIp %s from %s", ip.c_str(), host.c_str());
}

void NcmDnsClient::requestCacheClear()
{
    m_cacheClearRequested = true;
    m_lastSystemDnsCheck = 0;
}

std::string NcmDnsClient::statsLine()
{
    int requests = 0;
    for (const auto& entry : m_taskMap)
        requests += static_cast<int>(entry.second->dnsRequests.size());
    int callbacks = 0;
    for (const auto& entry : m_callbackMap)
        callbacks += static_cast<int>(entry.second.size());
    int addresses = 0;
    for (const auto& entry : m_ipCache)
        addresses += static_cast<int>(entry.second.ips.size());
    char text[256];
    std::snprintf(text, sizeof text, "taskmap=%d(req:%d), cbmap=%d(%d), cache=%d(%d)",
        static_cast<int>(m_taskMap.size()), requests, static_cast<int>(m_callbackMap.size()), callbacks,
        static_cast<int>(m_ipCache.size()), addresses);
    return text;
}

void NcmDnsClient::prepareHttpDns()
{
    const int64_t now = Clock::nowSeconds();
    if (absDiff(m_lastHttpDnsPrepare, now) < HttpDnsPrepareSeconds)
        return;
    m_lastHttpDnsPrepare = now;
    if (!m_httpDnsHostTasks.empty())
        return;

    std::vector<std::string> ready;
    std::vector<TaskPtr> tasks;
    for (const auto& entry : m_httpDnsHosts) {
        if (StringUtil::isIpAddress(entry.first)) {
            ready.push_back(entry.first + ":" + entry.second);
            continue;
        }
        TaskPtr task = std::make_shared<NcmDnsResolutionTask>(
            this, entry.first, [this](const std::string& name) { onResolveHttpDnsOver(name); });
        if (m_service->config.useSystemDns && !m_service->ipStack.ipv6Only)
            task->udpServers = m_systemDns;
        for (const std::string& server : m_configDnsUdp) {
            if (std::find(task->udpServers.begin(), task->udpServers.end(), server) == task->udpServers.end())
                task->udpServers.push_back(server);
        }
        tasks.push_back(task);
    }
    logDnsClient.debug("prepareHttpDns: tasks=%d", static_cast<int>(tasks.size()));
    if (m_httpDnsServers.empty() && !ready.empty()) {
        m_httpDnsServers = ready;
        m_httpDnsPending = false;
    }
    if (tasks.empty()) {
        m_httpDnsPending = false;
        return;
    }
    m_httpDnsHostTasks = tasks;
    // The local list keeps each task alive while it starts: one may end at
    // once, and the last to end empties m_httpDnsHostTasks.
    for (const TaskPtr& task : tasks)
        task->doResolve();
}

void NcmDnsClient::onResolveHttpDnsOver(const std::string&)
{
    std::vector<std::string> servers;
    bool unfinished = false;
    for (const TaskPtr& task : m_httpDnsHostTasks) {
        if (task->endTime == 0) {
            unfinished = true;
            continue;
        }
        std::vector<std::string> answers = answerList(*task);
        shuffle(answers);
        if (answers.empty())
            continue;
        auto entry = std::find_if(m_httpDnsHosts.begin(), m_httpDnsHosts.end(),
            [&](const auto& candidate) { return candidate.first == task->host; });
        if (entry != m_httpDnsHosts.end()) {
            servers.push_back(answers.front() + ":" + entry->second);
            logDnsClient.debug("onResolveHttpDnsOver: %s => %s", task->host.c_str(), servers.back().c_str());
        } else {
            logDnsClient.error("onResolveHttpDnsOver: not in config list: %s => %s", task->host.c_str(),
                StringUtil::join(answers, ",").c_str());
        }
    }
    if (unfinished)
        return;
    for (const auto& entry : m_httpDnsHosts) {
        if (StringUtil::isIpAddress(entry.first))
            servers.push_back(entry.first + ":" + entry.second);
    }
    logDnsClient.debug("onResolveHttpDnsOver: %s", StringUtil::join(servers, ",").c_str());
    // The task that called in keeps itself alive until its handler returns.
    m_httpDnsHostTasks.clear();
    m_httpDnsServers = servers;
    m_httpDnsPending = false;

    // Tasks that waited for the server list; collected first, because a
    // task that ends at once leaves the map.
    std::vector<TaskPtr> waiting;
    for (const auto& entry : m_taskMap) {
        if (entry.second->startTime == 0)
            waiting.push_back(entry.second);
    }
    for (const TaskPtr& task : waiting) {
        if (task->startTime != 0 || task->endTime != 0)
            continue;
        logDnsClient.debug("onResolveHttpDnsOver: start pending task for %s", task->host.c_str());
        task->httpServers = m_httpDnsServers;
        task->doResolve();
    }
}
