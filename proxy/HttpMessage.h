#pragma once
#include "base/EventPtr.h"

#include <cstdint>
#include <map>
#include <string>

struct ProxyConfig;

// Follows a chunked body (chunk sizes, data, the last chunk and its trailer
// section) to find where it ends. Only looks at the bytes.
class ChunkedBody {
public:
    // `used`: how many of the bytes belong to the body; fewer than `length`
    // only once it is complete. False when the framing is broken.
    bool take(const char* data, size_t length, size_t& used);
    bool complete() const { return m_complete; }

private:
    int64_t m_chunkRemaining = -1; // -1: reading a size or trailer line
    bool m_lastChunk = false;
    bool m_complete = false;
    std::string m_line;
};

// How the end of a forwarded response is found.
enum class ResponseFraming {
    None, // not known yet, or no body
    CloseDelimited, // the body runs until the upstream closes
    Length, // Content-Length
    Chunked, // Transfer-Encoding: chunked
};

// What one client asked for.
struct HttpRequestState {
    std::string host;
    std::string port;
    int socks5GreetingSeen = 0;
    std::string method;
    std::string scheme;
    std::string target;
    std::string path;
    std::string version;
    // "Host" as the absolute target names it; empty for origin-form targets.
    std::string authority;
    // The request body, framed by Content-Length (bytes still to forward)
    // or by its chunks. Anything the client sends beyond its one request is
    // not forwarded.
    bool requestChunked = false;
    int64_t requestBodyRemaining = 0;
    ChunkedBody requestChunks;
    std::map<std::string, std::string> headers;
    EventPtr connectEvent;
};

enum class RequestHeadResult { Ok, BadRequest };

// Parses one request head (request line and header lines, up to and
// including the empty line). BadRequest: bare CR or LF, control bytes in the
// target, names or values, an unknown version, a port outside 1..65535 or an
// IPv6 literal host; and whatever would let the proxy and the upstream see
// different bodies: blanks in a header name, folded lines, Content-Lengths
// that disagree or do not parse, a Transfer-Encoding other than chunked or
// identity, or chunked together with a Content-Length. The client gets 400
// and nothing is looked up. A target that names no host (or an origin-form
// one when not allowed) leaves the host empty.
RequestHeadResult parseRequestHead(const std::string& head, bool allowOriginForm, HttpRequestState& r);

// How many of the bytes that follow what was already counted belong to the
// request body; fewer than `length` once the body has ended. False when a
// chunked body is broken.
bool takeRequestBody(HttpRequestState& r, const char* data, size_t length, size_t& used);
bool requestBodyComplete(const HttpRequestState& r);
// Whether the client promised to send nothing after this request: a "close"
// connection option, or HTTP/1.0 without "keep-alive".
bool clientClosesAfter(const HttpRequestState& r);

void parseHeaderLine(const std::string& line, std::string& name, std::string& value);

// "kcp:" plus the relay for a host the mapping sends to a relay, else
// "tcp:host:port".
std::string buildEndpointName(const ProxyConfig& config, const std::string& host, const std::string& port);

// The head sent upstream: the client's version, "Host" from the absolute
// target, proxy and connection headers dropped, "X-Ncm-Proxy" added.
std::string forwardRequestHead(const HttpRequestState& r);

// Follows one response as its bytes move to the client, so that what the
// client has been given is exactly what was counted. The final head is
// held until complete and passed on saying "Connection: close" (the client
// connection ends with the response); interim 1xx heads and the body pass
// unchanged. Transfer-Encoding overrides Content-Length (which is then not
// passed on); Content-Lengths that disagree or do not parse break the
// response; bytes after the counted end are dropped.
class HttpResponseFramer {
public:
    explicit HttpResponseFramer(bool headRequest = false)
        : m_headRequest(headRequest)
    {
    }

    // Moves everything `in` holds to `out` (what follows the end of the
    // response is drained); false for a broken response. A response broken
    // before headDone() has given the client nothing of its final head.
    bool move(evbuffer* in, evbuffer* out);
    bool complete() const { return m_complete; }
    bool headDone() const { return m_headDone; }
    ResponseFraming framing() const { return m_framing; }
    // The upstream may take another request on this connection: the answer
    // ended where its own framing said (not at a close), HTTP/1.1 without
    // the close option, and nothing came after its end.
    bool reusable() const { return m_complete && m_keepsOpen && !m_excess; }

private:
    bool takeHead(const char* data, size_t length, size_t& used, evbuffer* out);
    bool headLine(const std::string& line, evbuffer* out);
    bool endHead(const std::string& raw, evbuffer* out);

    bool m_headRequest;
    bool m_headDone = false;
    bool m_complete = false;
    bool m_broken = false;
    std::string m_line; // the head line being read
    std::string m_head; // the final head as it is passed on
    int m_status = 0;
    // What the head being read says about the body.
    bool m_lengthSeen = false;
    bool m_lengthBad = false; // unparsable, or two different values
    bool m_transferEncoded = false;
    bool m_chunkedLast = false; // chunked is the last coding applied
    bool m_http11 = false;
    bool m_closeOption = false;
    bool m_keepsOpen = false;
    bool m_excess = false; // bytes after the end were dropped
    ResponseFraming m_framing = ResponseFraming::None;
    int64_t m_contentLength = -1;
    int64_t m_received = 0;
    ChunkedBody m_chunks;
};
