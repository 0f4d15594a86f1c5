#include "proxy/HttpMessage.h"

#include "base/Logger.h"
#include "base/ProxyConfig.h"
#include "base/StringUtil.h"

#include <event2/http.h>

#include <algorithm>
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

std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Calls `each` with every item of a comma-separated header list, blanks
// trimmed; a list of one empty item for an empty value.
template <typename Each> void forEachListItem(std::string_view list, Each each)
{
    for (;;) {
        const size_t comma = list.find(',');
        each(trimBlanks(list.substr(0, comma)));
        if (comma == std::string_view::npos)
            return;
        list.remove_prefix(comma + 1);
    }
}

// The head's lines without its Content-Length ones.
std::string withoutContentLength(const std::string& head)
{
    std::string kept;
    for (size_t begin = 0; begin < head.size();) {
        size_t end = head.find('\n', begin);
        end = end == std::string::npos ? head.size() : end + 1;
        const std::string_view line(head.data() + begin, end - begin);
        if (!equalsIgnoreCase(line.substr(0, line.find(':')), "Content-Length"))
            kept.append(line);
        begin = end;
    }
    return kept;
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

// Takes a Content-Length value (repeated lines arrive joined as a list) into
// what was seen before: false when a length does not parse or two disagree,
// so "5, 5" is one length and "5, 6" none.
bool takeLengths(std::string_view list, bool& seen, int64_t& length)
{
    bool agree = true;
    forEachListItem(list, [&](std::string_view item) {
        const int64_t value = parseLength(item);
        agree = agree && value >= 0 && (!seen || value == length);
        seen = true;
        length = value;
    });
    return agree;
}

// "HTTP/1.x NNN", then the end or a blank and the reason.
bool statusLine(std::string_view line, int& status)
{
    const auto digit = [&](size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
    if (line.compare(0, 7, "HTTP/1.") != 0 || !digit(7) || line.size() < 12 || line[8] != ' ' || !digit(9)
        || !digit(10) || !digit(11) || (line.size() > 12 && line[12] != ' '))
        return false;
    status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    return true;
}

// A chunk-size line: hex digits, optional blanks and extensions, line end.
bool parseChunkSize(const std::string& line, int64_t& size)
{
    size = 0;
    size_t i = 0;
    size_t significant = 0; // leading zeros add nothing to the size
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
        if ((size != 0 || digit != 0) && ++significant > MaxChunkSizeDigits)
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

// The body's framing from the head, refusing every form that the upstream
// might read differently: it must see the same body and nothing after it.
bool frameRequestBody(HttpRequestState& r)
{
    bool lengthSeen = false;
    int64_t length = -1;
    bool encoded = false;
    for (auto it = r.headers.begin(); it != r.headers.end();) {
        if (strcasecmp(it->first.c_str(), "Content-Length") == 0) {
            if (!takeLengths(it->second, lengthSeen, length))
                return false;
        } else if (strcasecmp(it->first.c_str(), "Transfer-Encoding") == 0) {
            const std::string_view coding = trimBlanks(it->second);
            if (equalsIgnoreCase(coding, "chunked")) {
                encoded = true;
            } else if (equalsIgnoreCase(coding, "identity")) {
                // No coding at all: not passed on, so that nobody reads more into it.
                it = r.headers.erase(it);
                continue;
            } else {
                return false; // a coding whose end the proxy could not find
            }
        }
        ++it;
    }
    if (encoded && lengthSeen)
        return false;
    r.requestChunked = encoded;
    r.requestBodyRemaining = lengthSeen ? length : 0;
    if (lengthSeen) {
        // Repeats of one length go on as a single line.
        for (auto it = r.headers.begin(); it != r.headers.end();)
            it = strcasecmp(it->first.c_str(), "Content-Length") == 0 ? r.headers.erase(it) : std::next(it);
        r.headers["Content-Length"] = std::to_string(length);
    }
    return true;
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

bool clientClosesAfter(const HttpRequestState& r)
{
    bool close = false;
    bool keepAlive = false;
    for (const auto& [name, value] : r.headers) {
        if (strcasecmp(name.c_str(), "Connection") != 0)
            continue;
        forEachListItem(value, [&](std::string_view option) {
            close = close || equalsIgnoreCase(option, "close");
            keepAlive = keepAlive || equalsIgnoreCase(option, "keep-alive");
        });
    }
    return close || (r.version == "HTTP/1.0" && !keepAlive);
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
        // A folded line continues the previous value: some readers join it,
        // others do not, so it is refused.
        if (lines[i][0] == ' ' || lines[i][0] == '\t')
            return RequestHeadResult::BadRequest;
        std::string name, value;
        parseHeaderLine(lines[i], name, value);
        if (name.empty() || hasControl(name, false) || hasControl(value, true)
            || name.find(' ') != std::string::npos)
            return RequestHeadResult::BadRequest;
        auto it = r.headers.find(name);
        if (it != r.headers.end())
            it->second += ", " + value;
        else
            r.headers.emplace(name, value);
    }
    if (!frameRequestBody(r))
        return RequestHeadResult::BadRequest;

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

bool ChunkedBody::take(const char* data, size_t length, size_t& used)
{
    used = 0;
    while (used < length && !m_complete) {
        if (m_chunkRemaining > 0) {
            const size_t left = length - used;
            if (left < static_cast<uint64_t>(m_chunkRemaining)) {
                m_chunkRemaining -= static_cast<int64_t>(left);
                used = length;
                return true;
            }
            used += static_cast<size_t>(m_chunkRemaining);
            m_chunkRemaining = 0;
            continue;
        }
        // A size line, the line end after a chunk's data (m_chunkRemaining
        // 0), or after the last chunk a trailer line; an empty trailer line
        // ends the body.
        const char* start = data + used;
        const auto* end = static_cast<const char*>(std::memchr(start, '\n', length - used));
        const size_t span = end ? static_cast<size_t>(end - start) + 1 : length - used;
        m_line.append(start, span);
        used += span;
        const size_t limit = m_lastChunk ? MaxHeadLine : MaxChunkLine;
        if (!end) {
            if (m_line.size() < limit)
                continue;
            return false;
        }
        const bool emptyLine = m_line == "\r\n" || m_line == "\n";
        if (m_chunkRemaining == 0) {
            // The data must end where its size said: anything else would
            // be read differently by whoever sees the body next.
            if (!emptyLine)
                return false;
            m_chunkRemaining = -1;
        } else if (m_lastChunk) {
            m_complete = emptyLine;
            if (!emptyLine && m_line.size() > limit)
                return false;
        } else {
            int64_t size = 0;
            if (m_line.size() > limit || !parseChunkSize(m_line, size))
                return false;
            m_lastChunk = size == 0;
            if (size > 0)
                m_chunkRemaining = size;
        }
        m_line.clear();
    }
    return true;
}

bool takeRequestBody(HttpRequestState& r, const char* data, size_t length, size_t& used)
{
    if (r.requestChunked)
        return r.requestChunks.take(data, length, used);
    used = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), r.requestBodyRemaining));
    r.requestBodyRemaining -= static_cast<int64_t>(used);
    return true;
}

bool requestBodyComplete(const HttpRequestState& r)
{
    return r.requestChunked ? r.requestChunks.complete() : r.requestBodyRemaining == 0;
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
    size_t body = 0; // bytes of `in` that belong to the response
    if (m_complete) {
        // Whatever follows the end is not the client's to see.
        m_excess = m_excess || evbuffer_get_length(in) != 0;
    } else if (m_framing != ResponseFraming::Chunked) {
        // Only chunk framing looks at the bytes; the others only count them.
        body = evbuffer_get_length(in);
        if (m_framing == ResponseFraming::Length) {
            body = static_cast<size_t>(
                std::min<int64_t>(static_cast<int64_t>(body), m_contentLength - m_received));
            m_received += static_cast<int64_t>(body);
            m_complete = m_received >= m_contentLength;
        }
    } else {
        // With a length given, peek counts every chain it needs even beyond
        // the vectors offered (with -1 it stops at the last vector): a KCP
        // read makes one chain per segment.
        const ev_ssize_t length = static_cast<ev_ssize_t>(evbuffer_get_length(in));
        evbuffer_iovec few[4];
        std::vector<evbuffer_iovec> many;
        const int count = evbuffer_peek(in, length, nullptr, few, 4);
        evbuffer_iovec* pieces = few;
        if (count > 4) {
            many.resize(static_cast<size_t>(count));
            evbuffer_peek(in, length, nullptr, many.data(), count);
            pieces = many.data();
        }
        for (int i = 0; i < count && !m_chunks.complete(); ++i) {
            size_t used = 0;
            if (!m_chunks.take(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len, used)) {
                logContext.error("SOMETHING WRONG! can not parse chunked response");
                m_broken = true;
                return false;
            }
            body += used;
        }
        m_complete = m_chunks.complete();
    }
    if (body == evbuffer_get_length(in)) {
        evbuffer_add_buffer(out, in);
        return true;
    }
    m_excess = true;
    evbuffer_remove_buffer(in, out, body);
    evbuffer_drain(in, evbuffer_get_length(in));
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
    if (line.empty())
        return !m_head.empty() && endHead(raw, out);
    if (m_head.size() + raw.size() > MaxResponseHead)
        return false;
    if (m_head.empty()) {
        // Anything but a status line would have its bytes passed on as a head.
        if (!statusLine(line, m_status))
            return false;
        m_http11 = line[7] == '1';
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
        if (!takeLengths(value, m_lengthSeen, m_contentLength))
            m_lengthBad = true;
    } else if (equalsIgnoreCase(name, "Transfer-Encoding")) {
        // Codings apply in order: only a chunked one applied last frames the body.
        m_transferEncoded = true;
        const size_t comma = value.rfind(',');
        m_chunkedLast = equalsIgnoreCase(
            trimBlanks(comma == std::string_view::npos ? value : value.substr(comma + 1)), "chunked");
    } else if (equalsIgnoreCase(name, "Connection") || equalsIgnoreCase(name, "Keep-Alive")) {
        if (equalsIgnoreCase(name, "Connection"))
            forEachListItem(value, [&](std::string_view option) {
                m_closeOption = m_closeOption || equalsIgnoreCase(option, "close");
            });
        return true; // replaced by the proxy's own
    }
    m_head += raw;
    return true;
}

bool HttpResponseFramer::endHead(const std::string& raw, evbuffer* out)
{
    if (m_status >= 100 && m_status < 200 && m_status != 101) {
        // An interim answer (100 Continue) passes as it is; the real head follows.
        m_head += raw;
        evbuffer_add(out, m_head.data(), m_head.size());
        m_head.clear();
        m_status = 0;
        m_lengthSeen = m_lengthBad = m_transferEncoded = m_chunkedLast = m_closeOption = false;
        m_contentLength = -1;
        return true;
    }
    if (m_transferEncoded) {
        // The coding frames the body; a length beside it is wrong and would
        // mislead whoever reads the response next.
        m_framing = m_chunkedLast ? ResponseFraming::Chunked : ResponseFraming::CloseDelimited;
        if (m_lengthSeen)
            m_head = withoutContentLength(m_head);
    } else if (m_lengthBad) {
        logContext.error("SOMETHING WRONG! response with a bad or conflicting Content-Length");
        return false;
    } else {
        m_framing = m_lengthSeen ? ResponseFraming::Length : ResponseFraming::CloseDelimited;
    }
    m_keepsOpen = m_http11 && !m_closeOption && m_framing != ResponseFraming::CloseDelimited;
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
