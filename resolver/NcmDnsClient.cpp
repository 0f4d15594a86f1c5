#include "resolver/NcmDnsClient.h"

#include "proxy/Logger.h"
#include "proxy/NcmProxy.h"

#include <algorithm>
#include <cstdio>

NcmDnsClient::NcmDnsClient(NcmProxy* proxy)
    : m_answerEvent(event_new(proxy->eventBase(), -1, 0, &NcmDnsClient::onAnswer, this))
{
}

NcmDnsClient::~NcmDnsClient() = default;

void NcmDnsClient::chooseUsableIp(const std::string& host, DnsCallback* callback)
{
    m_pending.emplace_back(host, callback);
    event_active(m_answerEvent.get(), 0, 0);
}

void NcmDnsClient::removeDnsCallback(const std::string& host, DnsCallback* callback)
{
    logDnsClient.debug("remove dns callback: %s (%p)", host.c_str(), static_cast<void*>(callback));
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                   [&](const auto& entry) { return entry.second == callback; }),
                    m_pending.end());
}

void NcmDnsClient::discardUnusableIp(const std::string& host, const std::string& ip)
{
    logDnsClient.error("discardUnusableIp can not find host %s to discard %s", host.c_str(), ip.c_str());
}

void NcmDnsClient::requestCacheClear() {}

std::string NcmDnsClient::statsLine()
{
    char text[256];
    std::snprintf(text, sizeof text, "taskmap=%d(req:%d), cbmap=%d(%d), cache=%d(%d)", 0, 0,
                  static_cast<int>(m_pending.size()), static_cast<int>(m_pending.size()), 0, 0);
    return text;
}

void NcmDnsClient::onAnswer(evutil_socket_t, short, void* arg)
{
    auto* self = static_cast<NcmDnsClient*>(arg);
    // Answer those waiting now; each is taken out before its call so that a
    // callback may withdraw others or ask again (answered next turn).
    size_t round = self->m_pending.size();
    while (round-- > 0 && !self->m_pending.empty()) {
        DnsCallback* callback = self->m_pending.front().second;
        self->m_pending.erase(self->m_pending.begin());
        (*callback)(std::string());
    }
    if (!self->m_pending.empty())
        event_active(self->m_answerEvent.get(), 0, 0);
}
