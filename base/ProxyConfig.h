#pragma once
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// The proxy's options, parsed from a text of "Key=Value" lines.
// Fields without a key keep their defaults; only tests change them.
struct ProxyConfig {
    char logLevel = 'W';
    bool debugInjectFakeIp = false;
    bool debugDnsTcpSmallWrites = false;
    bool debugDnsTcpDelayWrite = false;
    bool debugCloseAfterOpen = false;
    bool allowOriginFormRequests = false;
    int fixedLocalPort = 0;
    bool dnsCacheDisabled = false;
    bool keepAliveDisabled = true; // upstream TCP connections
    // Relay conversations serve several requests to one host: a new one
    // costs the relay's Open and address proof, a lossy round trip or more.
    bool kcpKeepAlive = true;
    bool showStatsOnAccept = false;
    int backgroundIdleTimeoutToReactivate = 60;
    bool useSystemDns = true;
    int resolveTimeoutDns = 2;
    int resolveTimeoutHttp = 4;
    int resolveTimeoutCallback = 9;
    int dnsHostIpCacheExpiration = 1200;
    int contextIdleTimeout = 30;
    int connectTimeout = 5;
    std::string uid;
    std::vector<std::string> dnsTcp;
    std::vector<std::string> dnsUdp;
    std::vector<std::string> dnsHttp;
    std::unordered_map<std::string, std::vector<std::string>> domainIps;
    bool kcpEnabled = false;
    std::vector<std::pair<std::string, std::string>> kcpHostMapping; // (host suffix, relay address)
    // How the client's KCP conversations send; -1 keeps the built-in value.
    int kcpCongestionWindow = -1; // 1 = a congestion window limits sending, 0 = only the windows
    int kcpSendWindow = -1; // segments
    int kcpPacing = -1; // 1 = paced at the measured delivery rate
    int kcpAckRepeat = -1; // 1 = acks of out-of-order segments are sent twice

    // Applies one configuration line (already trimmed). Returns false when
    // the line is invalid. "LogLevel" is also set on rootLogger.
    bool applyLine(const std::string& line);

    // Applies every line of the text, logging each as accepted or "INVALID".
    void parse(const std::string& text);
};
