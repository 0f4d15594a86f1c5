#include "proxy/HttpMessage.h"

#include "base/Logger.h"
#include "base/StringUtil.h"
#include "proxy/ProxyConfig.h"

#include <event2/http.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <vector>

namespace {

constexpr size_t MaxHeadLine = 8192;
constexpr size_t MaxResponseHead = 65536;
constexpr size_t MaxChunkLine = 1024;
constexpr size_t MaxChunkSizeDigits = 15; // below 2^60: no overflow when adding the CRLF
const char* const AgentVersion = "2.0";

bool hasControl(const std::string& text, bool allowTab)
{
    for (unsigned char c : text) {
        if ((c < 0x20 && !(allowTab && c == '\t')) || c == 0x7f)
            return true;
    }
    return false;
}

// Digits only, 1..65535.
bool validPort(const std::string& text)
{
    if (text.empty() || text.size() > 5)
        return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool equalsIgnoreCase(std::string_view text, std::string_view word)
{
    return text.size() == word.size() && strncasecmp(text.data(), word.data(), word.size()) == 0;
}

// Non-negative decimal without sign or blanks; -1 otherwise.
int64_t parseLength(std::string_view text)
{
    if (text.empty() || text.size() > 18)
        return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// A chunk-size line: hex digits, optional blanks and extensions, line end.
bool parseChunkSize(const std::string& line, int64_t& size)
{
    size = 0;
    size_t i = 0;
    for (; i < line.size(); ++i) {
        const char c = line[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        if (i >= MaxChunkSizeDigits)
            return false;
        size = size * 16 + digit;
    }
    if (i == 0)
        return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    return i < line.size() && (line[i] == ';' || line[i] == '\r' || line[i] == '\n');
}

bool parseTarget(const std::string& rawTarget, bool allowOriginForm, HttpRequestState& r)
{
    std::string target = rawTarget;
    bool absolute = true;
    if (target[0] == '/') {
        if (!allowOriginForm) {
            logContext.error("unhandled http request: %s", target.c_str());
            return true;
        }
        target = "http://127.0.0.1" + target;
        absolute = false;
    }
    if (target.find("://") == std::string::npos && target.find(':') != std::string::npos) {
        // host:port, as CONNECT names its tunnel.
        if (target[0] == '[')
            return false;
        size_t colon = target.find(':');
        r.host = target.substr(0, colon);
        r.port = target.substr(colon + 1);
        return validPort(r.port) && r.host.find_first_of("[]") == std::string::npos;
    }
    evhttp_uri* uri = evhttp_uri_parse_with_flags(target.c_str(), EVHTTP_URI_NONCONFORMANT);
    if (!uri) {
        logContext.error("buggy url in proxy request: %s", target.c_str());
        return false;
    }
    const char* scheme = evhttp_uri_get_scheme(uri);
    const char* host = evhttp_uri_get_host(uri);
    r.scheme = scheme ? scheme : "";
    r.host = host ? host : "";
    const int port = evhttp_uri_get_port(uri);
    r.port = port >= 0 ? std::to_string(port) : (r.scheme == "https" ? "443" : "80");
    const char* path = evhttp_uri_get_path(uri);
    const char* query = evhttp_uri_get_query(uri);
    const char* fragment = evhttp_uri_get_fragment(uri);
    r.path = path && path[0] != '\0' ? path : "/";
    if (query)
        r.path += std::string("?") + query;
    if (fragment)
        r.path += std::string("#") + fragment;
    evhttp_uri_free(uri);
    if (absolute && !r.host.empty())
        r.authority = r.host + (port >= 0 ? ":" + r.port : std::string());
    // IPv6 literals are not looked up or connected to.
    return validPort(r.port) && r.host.find_first_of("[]:") == std::string::npos;
}

} // namespace

void parseHeaderLine(const std::string& line, std::string& name, std::string& value)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
        name = line;
        value.clear();
        return;
    }
    name = line.substr(0, colon);
    size_t begin = colon + 1;
    while (begin < line.size() && (line[begin] == ' ' || line[begin] == '\t'))
        ++begin;
    value = line.substr(begin);
}

RequestHeadResult parseRequestHead(const std::string& head, bool allowOriginForm, HttpRequestState& r)
{
    // Lines end in CRLF only: a bare CR or LF would let a header hide
    // inside another one.
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r'))
            return RequestHeadResult::BadRequest;
        if (head[i] == '\r' && (i + 1 >= head.size() || head[i + 1] != '\n'))
            return RequestHeadResult::BadRequest;
    }
    std::vector<std::string> lines;
    for (size_t begin = 0; begin < head.size();) {
        size_t end = head.find("\r\n", begin);
        if (end == std::string::npos)
            end = head.size();
        lines.push_back(head.substr(begin, end - begin));
        if (lines.back().empty())
            break;
        begin = end + 2;
    }
    if (lines.empty() || lines[0].empty())
        return RequestHeadResult::Ok; // no method: refused without an answer

    const std::string& line = lines[0];
    if (hasControl(line, false))
        return RequestHeadResult::BadRequest;
    std::string tokens[3];
    size_t position = 0;
    for (int i = 0; i < 3 && position <= line.size(); ++i) {
        size_t blank = i < 2 ? line.find(' ', position) : std::string::npos;
        tokens[i] = line.substr(position, blank == std::string::npos ? std::string::npos : blank - position);
        if (blank == std::string::npos)
            break;
        position = blank + 1;
    }
    r.method = tokens[0];
    r.target = tokens[1];
    r.version = tokens[2];
    if (r.version != "HTTP/1.1" && r.version != "HTTP/1.0")
        return RequestHeadResult::BadRequest;

    for (size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
        std::string name, value;
        parseHeaderLine(lines[i], name, value);
        if (name.empty() || hasControl(name, false) || hasControl(value, true))
            return RequestHeadResult::BadRequest;
        auto it = r.headers.find(name);
        if (it != r.headers.end())
            it->second += ", " + value;
        else
            r.headers.emplace(name, value);
    }

    // The request body is framed by its own headers; a chunked body is
    // forwarded without a bound.
    for (const auto& header : r.headers) {
        if (strcasecmp(header.first.c_str(), "Content-Length") == 0) {
            const int64_t length = parseLength(header.second);
            r.requestBodyRemaining = length > 0 ? length : 0;
        } else if (strcasecmp(header.first.c_str(), "Transfer-Encoding") == 0
            && strcasecmp(header.second.c_str(), "identity") != 0) {
            r.requestBodyRemaining = -1;
            break;
        }
    }

    if (r.target.empty())
        return RequestHeadResult::Ok;
    if (!parseTarget(r.target, allowOriginForm, r))
        return RequestHeadResult::BadRequest;
    if (!r.authority.empty()) {
        // The absolute target names the host; a client's own "Host" may differ or be missing.
        for (auto it = r.headers.begin(); it != r.headers.end();) {
            if (strcasecmp(it->first.c_str(), "Host") == 0)
                it = r.headers.erase(it);
            else
                ++it;
        }
        r.headers["Host"] = r.authority;
    }
    return RequestHeadResult::Ok;
}

std::string buildEndpointName(const ProxyConfig& config, const std::string& host, const std::string& port)
{
    if (config.kcpEnabled) {
        for (const auto& mapping : config.kcpHostMapping) {
            const std::string& key = mapping.first;
            const std::string& target = mapping.second;
            std::string candidate = key.find(':') != std::string::npos ? host + ":" + port : host;
            candidate = StringUtil::toLower(candidate);
            bool match
                = !key.empty() && key[0] == '.' ? StringUtil::endsWith(candidate, key) : key == candidate;
            if (!match)
                continue;
            if (!target.empty() && target[0] == ':')
                return "kcp:" + host + target;
            return "kcp:" + target;
        }
    }
    return "tcp:" + host + ":" + port;
}

std::string forwardRequestHead(const HttpRequestState& r)
{
    std::string out = r.method + " " + r.path + " " + r.version + "\r\n";
    for (const auto& header : r.headers) {
        const std::string& name = header.first;
        if (strncasecmp(name.c_str(), "proxy-", 6) == 0 || strcasecmp(name.c_str(), "connection") == 0)
            continue;
        out += name + ": " + header.second + "\r\n";
    }
    out += std::string("X-Ncm-Proxy: Skylark/") + AgentVersion + "\r\n\r\n";
    return out;
}

bool HttpResponseFramer::move(evbuffer* in, evbuffer* out)
{
    if (m_broken)
        return false;
    while (!m_headDone && evbuffer_get_length(in) > 0) {
        evbuffer_iovec piece;
        if (evbuffer_peek(in, -1, nullptr, &piece, 1) < 1)
            break;
        size_t used = 0;
        const bool ok = takeHead(static_cast<const char*>(piece.iov_base), piece.iov_len, used, out);
        evbuffer_drain(in, used);
        if (!ok) {
            m_broken = true;
            return false;
        }
    }
    if (!m_headDone)
        return true;
    if (m_framing != ResponseFraming::Chunked) {
        // Only chunk framing looks at the bytes; the others only count them.
        account(nullptr, evbuffer_get_length(in));
        evbuffer_add_buffer(out, in);
        return true;
    }
    evbuffer_iovec few[4];
    std::vector<evbuffer_iovec> many;
    const int count = evbuffer_peek(in, -1, nullptr, few, 4);
    evbuffer_iovec* pieces = few;
    if (count > 4) {
        many.resize(static_cast<size_t>(count));
        evbuffer_peek(in, -1, nullptr, many.data(), count);
        pieces = many.data();
    }
    for (int i = 0; i < count; ++i) {
        if (!account(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len)) {
            m_broken = true;
            return false;
        }
    }
    evbuffer_add_buffer(out, in);
    return true;
}

bool HttpResponseFramer::takeHead(const char* data, size_t length, size_t& used, evbuffer* out)
{
    while (used < length && !m_headDone) {
        // Whole spans up to each line end: the head is usually in one piece.
        const char* start = data + used;
        const auto* end = static_cast<const char*>(std::memchr(start, '\n', length - used));
        const size_t span = end ? static_cast<size_t>(end - start) + 1 : length - used;
        m_line.append(start, span);
        used += span;
        if (!end)
            return m_line.size() <= MaxHeadLine;
        if (m_line.size() > MaxHeadLine + 1)
            return false;
        std::string line;
        line.swap(m_line);
        if (!headLine(line, out))
            return false;
    }
    return true;
}

bool HttpResponseFramer::headLine(const std::string& raw, evbuffer* out)
{
    // Views into the line: a response head is parsed without allocating.
    std::string_view line(raw.data(), raw.size() - 1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.empty()) {
        if (m_status >= 100 && m_status < 200 && m_status != 101) {
            // An interim answer (100 Continue) passes as it is; the real head follows.
            m_head += raw;
            evbuffer_add(out, m_head.data(), m_head.size());
            m_head.clear();
            m_status = 0;
            m_framing = ResponseFraming::None;
            m_contentLength = -1;
            return true;
        }
        m_head += "Connection: close\r\n";
        m_head += raw;
        evbuffer_add(out, m_head.data(), m_head.size());
        m_head.clear();
        m_headDone = true;
        if (m_headRequest || m_status == 204 || m_status == 304
            || (m_framing == ResponseFraming::Length && m_contentLength == 0))
            m_complete = true;
        return true;
    }
    if (m_head.size() + raw.size() > MaxResponseHead)
        return false;
    if (line.compare(0, 5, "HTTP/") == 0) {
        const size_t blank = line.find(' ');
        m_status = blank == std::string_view::npos ? 0 : std::atoi(raw.c_str() + blank + 1);
        m_head += raw;
        return true;
    }
    const size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon);
    std::string_view value;
    if (colon != std::string_view::npos) {
        value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
    }
    if (equalsIgnoreCase(name, "Content-Length")) {
        m_contentLength = parseLength(value);
        if (m_contentLength >= 0)
            m_framing = ResponseFraming::Length;
    } else if (equalsIgnoreCase(name, "Transfer-Encoding") && equalsIgnoreCase(value, "chunked")) {
        m_framing = ResponseFraming::Chunked;
    } else if (equalsIgnoreCase(name, "Connection")) {
        if (equalsIgnoreCase(value, "close"))
            m_framing = ResponseFraming::CloseDelimited;
        return true; // replaced by the proxy's own
    } else if (equalsIgnoreCase(name, "Keep-Alive")) {
        return true;
    }
    m_head += raw;
    return true;
}

bool HttpResponseFramer::account(const char* data, size_t length)
{
    m_received += static_cast<int64_t>(length);
    if (m_framing == ResponseFraming::Length) {
        if (m_received >= m_contentLength)
            m_complete = true;
        return true;
    }
    size_t i = 0;
    while (m_framing == ResponseFraming::Chunked && i < length && !m_complete) {
        if (m_chunkRemaining < 0) {
            // A size line, or after the last chunk a trailer line; an empty
            // trailer line ends the message.
            const char c = data[i++];
            m_chunkLine += c;
            if (c == '\n') {
                if (m_lastChunk) {
                    m_complete = m_chunkLine == "\r\n" || m_chunkLine == "\n";
                } else {
                    int64_t size = 0;
                    if (!parseChunkSize(m_chunkLine, size)) {
                        logContext.error("SOMETHING WRONG! can not parse chunked response");
                        return false;
                    }
                    m_lastChunk = size == 0;
                    if (size > 0)
                        m_chunkRemaining = size + 2;
                }
                m_chunkLine.clear();
            } else if (m_chunkLine.size() >= (m_lastChunk ? MaxHeadLine : MaxChunkLine)) {
                logContext.error("SOMETHING WRONG! can not parse chunked response");
                return false;
            }
            continue;
        }
        const size_t left = length - i;
        if (left < static_cast<uint64_t>(m_chunkRemaining)) {
            m_chunkRemaining -= static_cast<int64_t>(left);
            return true;
        }
        i += static_cast<size_t>(m_chunkRemaining);
        m_chunkRemaining = -1;
    }
    return true;
}
