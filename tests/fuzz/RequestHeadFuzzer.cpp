// An accepted head names a usable host and port and can smuggle no line into the forwarded head;
// its body ends at the same byte whether it arrives at once or byte by byte.
#include "base/ProxyConfig.h"
#include "proxy/HttpMessage.h"
#include "tests/fuzz/FuzzCheck.h"

#include <algorithm>

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

// How many bytes of `rest` the body takes, fed in pieces of `step`; -1 when broken or refused.
long bodyLength(const std::string& head, const std::string& rest, size_t step)
{
    HttpRequestState r;
    if (parseRequestHead(head, false, r) != RequestHeadResult::Ok)
        return -1;
    size_t total = 0;
    for (size_t i = 0; i < rest.size() && !requestBodyComplete(r); i += step) {
        size_t used = 0;
        const size_t length = std::min(step, rest.size() - i);
        if (!takeRequestBody(r, rest.data() + i, length, used))
            return -1;
        require(used <= length && (used == length || requestBodyComplete(r)));
        total += used;
    }
    return static_cast<long>(total);
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
    if (end != std::string::npos) {
        const std::string head = text.substr(0, end + 4), rest = text.substr(end + 4);
        check(head, config, (flags & 2) != 0);
        require(bodyLength(head, rest, rest.size() + 1) == bodyLength(head, rest, 1));
    }
    return 0;
}
