#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ResolverHost;

// One-line JSON records that the resolver leaves in the service's report queue
// for whoever collects them: addresses that failed, and HTTP-DNS stages in
// which no server answered in time. Keys in a fixed order, no spaces.

// The contents of a JSON string: quote, backslash and control characters
// escaped, valid UTF-8 kept, every byte that is not part of valid UTF-8
// replaced by U+FFFD. Host names come from clients, so nothing is trusted.
std::string jsonStringContents(const std::string& text);

// {"uid":"..","host":"..","ip":"..","timestamp":N}
std::string unusableIpReport(
    const std::string& uid, const std::string& host, const std::string& ip, int64_t timestamp);

// The same record with the fixed host "HttpDNS Request Error" and the
// server text (address and port as configured) as "ip".
std::string httpDnsErrorReport(const std::string& uid, const std::string& server, int64_t timestamp);

// Append through the service's queue (trimmed to its capacity first), stamped
// with the current time.
void queueUnusableIpReport(ResolverHost& service, const std::string& host, const std::string& ip);
void queueHttpDnsErrorReports(ResolverHost& service, const std::vector<std::string>& servers);
