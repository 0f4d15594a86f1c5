#include "proxy/HttpMessage.h"
#include "base/ProxyConfig.h"

#include <gtest/gtest.h>

#include <strings.h>

namespace {

std::string firstLineAndHost(const HttpRequestState& r)
{
    const std::string head = forwardRequestHead(r);
    const size_t host = head.find("\r\nHost: ");
    return head.substr(0, head.find("\r\n"))
        + (host == std::string::npos ? ""
                                     : " | " + head.substr(host + 2, head.find("\r\n", host + 2) - host - 2));
}

size_t framingLines(const std::string& head)
{
    size_t count = 0;
    for (size_t line = 0; (line = head.find("\r\n", line)) != std::string::npos; line += 2)
        count += strncasecmp(head.c_str() + line + 2, "Content-Length:", 15) == 0
            || strncasecmp(head.c_str() + line + 2, "Transfer-Encoding:", 18) == 0;
    return count;
}

const std::string Lettered
    = "1a\r\n" + std::string(26, 'x') + "\r\n1B\r\n" + std::string(27, 'y') + "\r\n0\r\n\r\n";

} // namespace

TEST(HttpRequestHead, TargetsVersionsAndMalformedHeads)
{
    const RequestHeadResult Ok = RequestHeadResult::Ok;
    const RequestHeadResult Bad = RequestHeadResult::BadRequest;
    const struct {
        std::string head;
        RequestHeadResult result;
        std::string forwarded; // first line and Host of the head sent upstream
        std::string endpoint;
    } cases[] = {
        { "GET http://h:8080 HTTP/1.1\r\n\r\n", Ok, "GET / HTTP/1.1 | Host: h:8080", "tcp:h:8080" },
        { "GET http://h?x=1 HTTP/1.1\r\n\r\n", Ok, "GET /?x=1 HTTP/1.1 | Host: h", "tcp:h:80" },
        { "GET http://h/a HTTP/1.0\r\n\r\n", Ok, "GET /a HTTP/1.0 | Host: h", "tcp:h:80" },
        { "GET http://h/a HTTP/1.1\r\nhost: other\r\n\r\n", Ok, "GET /a HTTP/1.1 | Host: h", "tcp:h:80" },
        { "CONNECT h:443 HTTP/1.1\r\n\r\n", Ok, "CONNECT  HTTP/1.1", "tcp:h:443" },
        { "GET http://h/ HTTP/2.0\r\n\r\n", Bad, "", "" },
        { "GET http://h/ HTTP/1.1\r\nX: a\nProxy-Authorization: b\r\n\r\n", Bad, "", "" },
        { "GET http://h/ HTTP/1.1\r\nX: a\rProxy-Authorization: b\r\n\r\n", Bad, "", "" },
        { "GET http://h/a\x01z HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "GET http://h/ HTTP/1.1\r\nX: a\x7f\r\n\r\n", Bad, "", "" },
        { "GET http://h/ HTTP/1.1\r\nX\x01: a\r\n\r\n", Bad, "", "" },
        { "GET http://[::1]:8080/ HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "CONNECT [2001:db8::1]:443 HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "GET http://h:0/ HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "CONNECT h:0 HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "CONNECT h:http HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "CONNECT h:65536 HTTP/1.1\r\n\r\n", Bad, "", "" },
        // Framing the upstream might read differently from the proxy.
        { "POST http://h/ HTTP/1.1\r\nContent-Length : 5\r\n\r\n", Bad, "", "" },
        { "POST http://h/ HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 6\r\n\r\n", Bad, "", "" },
        { "POST http://h/ HTTP/1.1\r\nContent-Length: 5, 6\r\n\r\n", Bad, "", "" },
        { "POST http://h/ HTTP/1.1\r\nContent-Length: +5\r\n\r\n", Bad, "", "" },
        { "GET http://h/ HTTP/1.1\r\nX: a\r\n Proxy-Authorization: b\r\n\r\n", Bad, "", "" },
        { "GET http://h/ HTTP/1.1\r\nX: a\r\n\tb\r\n\r\n", Bad, "", "" },
        { "POST http://h/ HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", Bad, "", "" },
        { "POST http://h/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", Bad, "", "" },
        { "POST http://h/ HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n", Ok,
            "POST / HTTP/1.1 | Host: h", "tcp:h:80" },
    };
    ProxyConfig config;
    for (const auto& c : cases) {
        HttpRequestState r;
        ASSERT_EQ(parseRequestHead(c.head, false, r), c.result) << c.head;
        if (c.result != Ok)
            continue;
        EXPECT_EQ(firstLineAndHost(r), c.forwarded) << c.head;
        EXPECT_EQ(buildEndpointName(config, r.host, r.port), c.endpoint) << c.head;
    }
}

TEST(HttpRequestHead, EndpointNamesFollowTheKcpMapping)
{
    ProxyConfig config;
    config.kcpHostMapping = { { ".Example.test", "127.0.0.9:9990" }, { ".mixed.test", ":9990" },
        { "port.test:8443", "127.0.0.8:9990" }, { "exact.test", "127.0.0.7:9990" } };
    EXPECT_EQ(buildEndpointName(config, "Www.Mixed.Test", "443"), "tcp:Www.Mixed.Test:443") << "KCP is off";
    config.kcpEnabled = true;
    const char* const cases[][3] = {
        { "Www.Mixed.Test", "443", "kcp:Www.Mixed.Test:9990" },
        { "a.example.test", "80", "tcp:a.example.test:80" }, // keys are not lowered
        { "port.test", "8443", "kcp:127.0.0.8:9990" }, { "port.test", "443", "tcp:port.test:443" },
        { "EXACT.test", "80", "kcp:127.0.0.7:9990" }, { "notexact.test", "80", "tcp:notexact.test:80" },
        { "mixed.test", "80", "tcp:mixed.test:80" }, // a dotted key needs the dot
    };
    for (const auto& c : cases)
        EXPECT_EQ(buildEndpointName(config, c[0], c[1]), c[2]) << c[0] << ":" << c[1];
}

// Only the body its framing names is forwarded; with the close option or plain 1.0, nothing follows.
TEST(HttpRequestHead, WhatFollowsTheHead)
{
    const std::string next = "GET http://internal.example/ HTTP/1.1\r\nProxy-Authorization: x\r\n\r\n";
    const std::string chunked = "POST http://h/ HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n";
    const struct {
        std::string head;
        std::string body; // what the upstream gets after the head
        bool broken;
        bool closes = false;
    } cases[] = {
        { "POST http://h/ HTTP/1.1\r\nContent-Length: 5\r\n\r\n", "hello", false },
        { "POST http://h/ HTTP/1.1\r\nTransfer-Encoding: identity\r\nContent-Length: 3\r\n\r\n", "abc",
            false },
        { "POST http://h/ HTTP/1.1\r\ncontent-length: 3, 3\r\nContent-Length: 3\r\n\r\n", "abc", false },
        { "GET http://h/ HTTP/1.1\r\n\r\n", "", false },
        { chunked, "5\r\nhello\r\n0\r\n\r\n", false },
        { chunked, "3;ext=1\r\nabc\r\n0\r\nTrailer: 1\r\n\r\n", false },
        { chunked, Lettered, false },
        { chunked, "5\r\nhelloXY0\r\n\r\n", true }, // data longer than its size
        { chunked, "zz\r\n", true },
        { "GET http://h/ HTTP/1.1\r\nConnection: close\r\n\r\n", "", false, true },
        { "GET http://h/ HTTP/1.1\r\nconnection: Keep-Alive, CLOSE\r\n\r\n", "", false, true },
        { "GET http://h/ HTTP/1.1\r\nConnection: closed\r\n\r\n", "", false },
        { "GET http://h/ HTTP/1.1\r\nX-Connection: close\r\n\r\n", "", false },
        { "GET http://h/ HTTP/1.0\r\n\r\n", "", false, true },
        { "GET http://h/ HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "", false },
    };
    for (const auto& c : cases) {
        for (size_t step : { size_t(1000), size_t(1) }) {
            HttpRequestState r;
            ASSERT_EQ(parseRequestHead(c.head, false, r), RequestHeadResult::Ok) << c.head;
            EXPECT_EQ(framingLines(forwardRequestHead(r)), c.body.empty() ? 0u : 1u) << c.head;
            EXPECT_EQ(clientClosesAfter(r), c.closes) << c.head;
            const std::string sent = c.body + next;
            std::string forwarded;
            bool ok = true;
            for (size_t i = 0; i < sent.size() && ok && !requestBodyComplete(r); i += step) {
                const std::string piece = sent.substr(i, step);
                size_t used = 0;
                ok = takeRequestBody(r, piece.data(), piece.size(), used);
                forwarded += piece.substr(0, used);
            }
            EXPECT_EQ(!ok, c.broken) << c.head << c.body;
            if (c.broken)
                continue;
            EXPECT_TRUE(requestBodyComplete(r)) << c.head << c.body;
            EXPECT_EQ(forwarded, c.body) << c.head << " in pieces of " << step;
        }
    }
}

TEST(HttpResponseFramer, EndsAndBreaksTheSameWhateverTheSplit)
{
    struct Case {
        std::string response;
        bool complete;
        bool broken;
        std::string body; // passed on after the final head
        bool reusable = false; // framed end, kept open, nothing after it
    };
    const std::string ok200 = "HTTP/1.1 200 OK\r\n";
    const std::string chunked = ok200 + "Transfer-Encoding: chunked\r\n\r\n";
    const std::string trailer = "0\r\nT: " + std::string(2000, 't') + "\r\n\r\n"; // past the chunk-line limit
    const std::vector<Case> cases = {
        { ok200 + "Content-Length: 3\r\nConnection: keep-alive\r\n\r\nabcEXTRA", true, false, "abc" },
        { chunked + "5;x=y\r\nhello\r\n0\r\nT: 1\r\n\r\nEXTRA", true, false,
            "5;x=y\r\nhello\r\n0\r\nT: 1\r\n\r\n" },
        { chunked + "A\r\n0123456789\r\n0\r\n\r\n", true, false, "A\r\n0123456789\r\n0\r\n\r\n", true },
        { chunked + Lettered + "EXTRA", true, false, Lettered },
        { chunked + "0000000000000002\r\nab\r\n0\r\n\r\n", true, false, "0000000000000002\r\nab\r\n0\r\n\r\n",
            true },
        { chunked + trailer, true, false, trailer, true },
        { "garbage\r\n\r\nhello", false, true, "" },
        { "HTTP/1.1 2000 OK\r\nContent-Length: 1\r\n\r\nx", false, true, "" },
        { chunked + "ffffffffffffffff\r\nx", false, true, "" },
        { chunked + "-5\r\nhello\r\n0\r\n\r\n", false, true, "" },
        { chunked + "zz\r\n", false, true, "" },
        { "HTTP/1.1 204 No Content\r\n\r\nEXTRA", true, false, "" },
        // The coding frames the body whatever the order; the length is not passed on.
        { ok200 + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\nEXTRA", true,
            false, "1\r\nx\r\n0\r\n\r\n" },
        { ok200 + "Transfer-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabcdef", false, false, "abcdef" },
        { ok200 + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabcdef", true, false, "abc" },
        { ok200 + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcdef", false, true, "" },
        { ok200 + "Content-Length: 3, 4\r\n\r\nabcdef", false, true, "" },
        { ok200 + "Content-Length: -1\r\n\r\nabc", false, true, "" },
        // Complete, but the upstream closes after it.
        { ok200 + "Content-Length: 2\r\nConnection: keep-alive, Close\r\n\r\nok", true, false, "ok" },
        { "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", true, false, "ok" },
    };
    for (const Case& c : cases) {
        for (size_t step : { c.response.size(), size_t(1) }) {
            HttpResponseFramer framer;
            EvBufferPtr in(evbuffer_new());
            EvBufferPtr out(evbuffer_new());
            bool ok = true;
            for (size_t i = 0; i < c.response.size() && ok; i += step) {
                evbuffer_add(in.get(), c.response.data() + i, std::min(step, c.response.size() - i));
                ok = framer.move(in.get(), out.get());
            }
            EXPECT_EQ(!ok, c.broken) << c.response << " in pieces of " << step;
            EXPECT_EQ(framer.complete(), c.complete) << c.response << " in pieces of " << step;
            EXPECT_EQ(framer.reusable(), c.reusable) << c.response << " in pieces of " << step;
            if (c.broken)
                continue;
            std::string text(evbuffer_get_length(out.get()), '\0');
            evbuffer_copyout(out.get(), &text[0], text.size());
            const std::string end = "\r\nConnection: close\r\n\r\n";
            ASSERT_NE(text.find(end), std::string::npos) << text;
            EXPECT_EQ(text.substr(text.find(end) + end.size()), c.body)
                << c.response << " in pieces of " << step;
            EXPECT_EQ(text.find("keep-alive"), std::string::npos) << text;
            EXPECT_EQ(text.find("Content-Length: 5"), std::string::npos) << text;
        }
    }
}
