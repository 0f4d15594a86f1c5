// Response framing gives one outcome however the bytes arrive, and its head says the connection closes.
#include "proxy/HttpMessage.h"
#include "tests/fuzz/FuzzCheck.h"

#include <event2/buffer.h>

#include <algorithm>
#include <vector>

namespace {

struct Outcome {
    bool broken = false;
    bool complete = false;
    bool headDone = false;
    std::string out;
};

// Each cut ends one move; chainBytes splits a move's bytes into chains, as a KCP read does.
Outcome feed(
    const std::string& bytes, bool headRequest, const std::vector<size_t>& cuts, size_t chainBytes = 0)
{
    Outcome o;
    HttpResponseFramer framer(headRequest);
    EvBufferPtr in(evbuffer_new());
    EvBufferPtr out(evbuffer_new());
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size() && !o.broken; ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : bytes.size();
        if (chainBytes == 0)
            evbuffer_add(in.get(), bytes.data() + from, to - from);
        for (size_t at = from; chainBytes != 0 && at < to; at += chainBytes)
            evbuffer_add_reference(
                in.get(), bytes.data() + at, std::min(chainBytes, to - at), nullptr, nullptr);
        from = to;
        o.broken = !framer.move(in.get(), out.get());
        require(o.broken || evbuffer_get_length(in.get()) == 0);
    }
    o.complete = framer.complete();
    o.headDone = framer.headDone();
    o.out.resize(evbuffer_get_length(out.get()));
    evbuffer_copyout(out.get(), &o.out[0], o.out.size());
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 4096)
        return 0;
    const bool headRequest = (data[0] & 1) != 0;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    const Outcome whole = feed(bytes, headRequest, {});
    std::vector<size_t> every;
    for (size_t i = 1; i < bytes.size(); ++i)
        every.push_back(i);
    const Outcome single = feed(bytes, headRequest, every);
    const Outcome split = feed(bytes, headRequest, { (data[0] >> 1) % bytes.size() });
    const Outcome chains = feed(bytes, headRequest, {}, 1 + (data[0] >> 1) % 8);

    for (const Outcome* other : { &single, &split, &chains }) {
        require(other->broken == whole.broken);
        require(other->complete == whole.complete);
        require(other->headDone == whole.headDone);
        if (!whole.broken)
            require(other->out == whole.out);
    }
    if (whole.headDone && !whole.broken)
        require(whole.out.find("Connection: close\r\n") != std::string::npos);
    require(!whole.complete || whole.headDone);
    return 0;
}
