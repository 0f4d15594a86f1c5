#include "proxy/HttpMessage.h"
#include "proxy/ProxyConfig.h"

#include <gtest/gtest.h>

namespace {

struct HeadCase {
    std::string head;
    RequestHeadResult result;
    std::string forwarded; // first line and Host of the head sent upstream
    std::string endpoint;
};

std::string firstLineAndHost(const HttpRequestState& r)
{
    const std::string head = forwardRequestHead(r);
    const size_t host = head.find("\r\nHost: ");
    return head.substr(0, head.find("\r\n"))
        + (host == std::string::npos ? ""
                                     : " | " + head.substr(host + 2, head.find("\r\n", host + 2) - host - 2));
}

} // namespace

TEST(HttpRequestHead, TargetsVersionsAndMalformedHeads)
{
    const RequestHeadResult Ok = RequestHeadResult::Ok;
    const RequestHeadResult Bad = RequestHeadResult::BadRequest;
    const std::vector<HeadCase> cases = {
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
        { "GET http://h:99999/ HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "CONNECT h:0 HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "CONNECT h:http HTTP/1.1\r\n\r\n", Bad, "", "" },
        { "CONNECT h:65536 HTTP/1.1\r\n\r\n", Bad, "", "" },
    };
    ProxyConfig config;
    for (const HeadCase& c : cases) {
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

TEST(HttpResponseFramer, EndsAndBreaksTheSameWhateverTheSplit)
{
    struct Case {
        std::string response;
        bool complete;
        bool broken;
    };
    const std::vector<Case> cases = {
        { "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: keep-alive\r\n\r\nabc", true, false },
        { "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n0\r\nT: 1\r\n\r\n", true,
            false },
        { "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n", true, false },
        { "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\nx", false, true },
        { "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n", false, true },
        { "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, true },
        { "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nabc", false, false },
        { "HTTP/1.1 204 No Content\r\n\r\n", true, false },
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
            if (c.complete) {
                std::string text(evbuffer_get_length(out.get()), '\0');
                evbuffer_copyout(out.get(), &text[0], text.size());
                EXPECT_NE(text.find("\r\nConnection: close\r\n\r\n"), std::string::npos) << text;
                EXPECT_EQ(text.find("keep-alive"), std::string::npos) << text;
            }
        }
    }
}
