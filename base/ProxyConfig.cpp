#include "base/ProxyConfig.h"

#include "base/Logger.h"
#include "base/StringUtil.h"

using StringUtil::parseInt;
using StringUtil::split;
using StringUtil::splitTrimmed;
using StringUtil::trim;

bool ProxyConfig::applyLine(const std::string& line)
{
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));

    if (key == "LogLevel") {
        if (value.empty())
            return false;
        logLevel = value[0];
        rootLogger.setLevel(logLevel);
    } else if (key == "DebugInjectFakeIp") {
        debugInjectFakeIp = parseInt(value) != 0;
    } else if (key == "DebugUseFixedLocalPort") {
        const int port = parseInt(value);
        if (port < 0 || port > 65535)
            return false; // would be cut to another port
        fixedLocalPort = port;
    } else if (key == "ShowStatsOnAccept") {
        showStatsOnAccept = parseInt(value) != 0;
    } else if (key == "BackgroundIdleTimeoutToReactivate") {
        backgroundIdleTimeoutToReactivate = parseInt(value);
    } else if (key == "UseSystemDns") {
        useSystemDns = parseInt(value) != 0;
    } else if (key == "ResolveTimeoutDns") {
        resolveTimeoutDns = parseInt(value);
    } else if (key == "ResolveTimeoutHttp") {
        resolveTimeoutHttp = parseInt(value);
    } else if (key == "ResolveTimeoutCallback") {
        resolveTimeoutCallback = parseInt(value);
    } else if (key == "DnsHostIpCacheExpiration") {
        dnsHostIpCacheExpiration = parseInt(value);
    } else if (key == "UID") {
        uid = value;
    } else if (key == "DnsTcp") {
        dnsTcp = splitTrimmed(value, ',');
    } else if (key == "DnsUdp") {
        dnsUdp = splitTrimmed(value, ',');
    } else if (key == "DnsHttp") {
        dnsHttp = splitTrimmed(value, ',');
    } else if (key == "DomainIps") {
        for (const std::string& rawEntry : split(value, ';')) {
            std::vector<std::string> parts = split(trim(rawEntry), ':');
            if (parts.size() != 2)
                continue;
            domainIps[trim(parts[0])] = splitTrimmed(trim(parts[1]), ',');
        }
    } else if (key == "KcpEnabled") {
        kcpEnabled = parseInt(value) != 0;
    } else if (key == "KcpKeepAlive") {
        kcpKeepAlive = parseInt(value) != 0;
    } else if (key == "KcpCongestionWindow") {
        kcpCongestionWindow = parseInt(value) != 0 ? 1 : 0;
    } else if (key == "KcpPacing") {
        kcpPacing = parseInt(value) != 0 ? 1 : 0;
    } else if (key == "KcpAckRepeat") {
        kcpAckRepeat = parseInt(value) != 0 ? 1 : 0;
    } else if (key == "KcpSendWindow") {
        const int segments = parseInt(value);
        if (segments < 1 || segments > 65535)
            return false; // the wire's window field is 16 bits
        kcpSendWindow = segments;
    } else if (key == "KcpHostMapping") {
        for (const std::string& rawEntry : split(value, ';')) {
            std::vector<std::string> parts = split(trim(rawEntry), '#');
            if (parts.size() != 2)
                continue;
            kcpHostMapping.emplace_back(trim(parts[0]), trim(parts[1]));
        }
    } else {
        return false;
    }
    return true;
}

void ProxyConfig::parse(const std::string& text)
{
    for (const std::string& rawLine : split(text, '\n')) {
        const std::string line = trim(rawLine);
        if (line.empty())
            continue;
        bool accepted = applyLine(line);
        logProxy.debug("config option: %s %s", accepted ? "" : "INVALID", line.c_str());
    }
}
