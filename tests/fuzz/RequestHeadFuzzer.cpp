// The request-head parser, the endpoint name and the forwarded head: an accepted head names a usable
// host and port, and nothing the client sent may split or smuggle a line into the forwarded head.
#include "proxy/HttpMessage.h"
#include "proxy/ProxyConfig.h"
#include "tests/fuzz/FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

bool clean(const std::string& text, bool allowTab)
{
    for (unsigned char c : text)
        if ((c < 0x20 && !(allowTab && c == '\t')) || c == 0x7f)
            return false;
    return true;
}

void check(const std::string& head, const ProxyConfig& config, bool allowOriginForm)
{
    HttpRequestState r;
    if (parseRequestHead(head, allowOriginForm, r) != RequestHeadResult::Ok || r.method.empty())
        return;
    require(r.version == "HTTP/1.0" || r.version == "HTTP/1.1");
    require(clean(r.method, false) && clean(r.target, false));
    if (!r.host.empty()) {
        require(!r.port.empty() && r.port.size() <= 5
            && r.port.find_first_not_of("0123456789") == std::string::npos);
        const long port = std::stol(r.port);
        require(port >= 1 && port <= 65535);
        require(clean(r.host, false) && r.host.find_first_of("[]") == std::string::npos);
        const std::string name = buildEndpointName(config, r.host, r.port);
        require(name.rfind("tcp:", 0) == 0 || name.rfind("kcp:", 0) == 0);
    }
    if (r.method == "CONNECT")
        return;
    const std::string out = forwardRequestHead(r);
    require(out.size() >= 4 && out.compare(out.size() - 4, 4, "\r\n\r\n") == 0);
    // Every line ends in CRLF and none carries another control byte.
    size_t lines = 0;
    for (size_t begin = 0; begin < out.size();) {
        const size_t end = out.find("\r\n", begin);
        require(end != std::string::npos);
        require(clean(out.substr(begin, end - begin), true));
        begin = end + 2;
        ++lines;
    }
    require(lines >= 3);
    require(out.find("\r\nHost: ") != std::string::npos || r.authority.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    ProxyConfig config;
    config.kcpEnabled = (flags & 1) != 0;
    config.kcpHostMapping = { { ".relay.test", "127.0.0.9:9990" }, { "port.test:8443", ":9990" } };
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    check(text, config, (flags & 2) != 0);
    // As the proxy hands it over: up to the end of the head.
    const size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos)
        check(text.substr(0, end + 4), config, (flags & 2) != 0);
    return 0;
}
