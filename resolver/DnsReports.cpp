#include "resolver/DnsReports.h"

#include "base/Clock.h"
#include "resolver/ResolverHost.h"

#include <cinttypes>
#include <cstdio>

namespace {

const char HttpDnsErrorHost[] = "HttpDNS Request Error";

// Length of the well-formed UTF-8 sequence at text[i] (RFC 3629), or 0.
size_t utf8SequenceLength(const std::string& text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    if (byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    }
    return length;
}

std::string record(const std::string& uid, const std::string& host, const std::string& ip, int64_t timestamp)
{
    char number[32];
    std::snprintf(number, sizeof number, "%" PRId64, timestamp);
    return "{\"uid\":\"" + jsonStringContents(uid) + "\",\"host\":\"" + jsonStringContents(host)
        + "\",\"ip\":\"" + jsonStringContents(ip) + "\",\"timestamp\":" + number + "}";
}

} // namespace

std::string jsonStringContents(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"':
            out += "\\\"";
            ++i;
            continue;
        case '\\':
            out += "\\\\";
            ++i;
            continue;
        case '\b':
            out += "\\b";
            ++i;
            continue;
        case '\f':
            out += "\\f";
            ++i;
            continue;
        case '\n':
            out += "\\n";
            ++i;
            continue;
        case '\r':
            out += "\\r";
            ++i;
            continue;
        case '\t':
            out += "\\t";
            ++i;
            continue;
        default: break;
        }
        if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            ++i;
            continue;
        }
        const size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

std::string unusableIpReport(
    const std::string& uid, const std::string& host, const std::string& ip, int64_t timestamp)
{
    return record(uid, host, ip, timestamp);
}

std::string httpDnsErrorReport(const std::string& uid, const std::string& server, int64_t timestamp)
{
    return record(uid, HttpDnsErrorHost, server, timestamp);
}

void queueUnusableIpReport(ResolverHost& service, const std::string& host, const std::string& ip)
{
    service.appendReports({ unusableIpReport(service.config.uid, host, ip, Clock::nowSeconds()) });
}

void queueHttpDnsErrorReports(ResolverHost& service, const std::vector<std::string>& servers)
{
    const int64_t now = Clock::nowSeconds();
    std::vector<std::string> records;
    records.reserve(servers.size());
    for (const std::string& server : servers)
        records.push_back(httpDnsErrorReport(service.config.uid, server, now));
    service.appendReports(records);
}
