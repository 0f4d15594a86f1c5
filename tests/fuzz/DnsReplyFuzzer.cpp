// DNS replies parse consistently or not at all; decoded names stay inside their buffers.
#include "resolver/DnsMessage.h"
#include "tests/fuzz/FuzzCheck.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The input as its own query: the question always matches, so the record walks always run.
void parseAgainstItself(const uint8_t* data, size_t size, uint16_t type)
{
    DnsReply reply;
    const DnsParseContext context { data, size, type };
    if (ncm_dns_parse_reply(data, size, context, reply) == 0) {
        require(reply.type == type);
        require(reply.count >= 0 && reply.count <= DnsReplyMaxAddresses);
        require(reply.count == 0 || reply.haveAnswer);
    }
}

void parseAgainstQuery(const std::vector<uint8_t>& query, const uint8_t* data, size_t size, bool wantA)
{
    std::vector<std::string> out { "stale" };
    const int rc = ncm_dns_parse_response(query.data(), query.size(), data, size, out, wantA);
    if (rc != 0)
        require(out.empty());
    require(out.size() <= static_cast<size_t>(DnsReplyMaxAddresses));
}

void decodeEverywhere(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    const size_t outSize = 1 + data[0] % DnsNameBufferSize;
    std::unique_ptr<char[]> out(new char[outSize]);
    for (size_t start = 0; start < std::min<size_t>(size, 64); ++start) {
        size_t position = start;
        if (ncm_dns_decode_name(data, size, position, out.get(), outSize) == 0) {
            require(std::memchr(out.get(), 0, outSize) != nullptr);
            require(position > start && position <= size);
        } else {
            require(position == start);
        }
    }
}

// A well-formed host name survives encoding and decoding unchanged.
void roundTrip(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 253)
        return;
    const std::string name(reinterpret_cast<const char*>(data), size);
    size_t label = 0;
    for (char c : name) {
        if (c == '\0' || (c == '.' ? label == 0 : ++label > 63))
            return;
        label = c == '.' ? 0 : label;
    }
    if (label == 0)
        return;
    uint8_t wire[300];
    const int end = ncm_dns_encode_name(wire, sizeof wire, 0, name.data(), name.size());
    require(end == static_cast<int>(size) + 2);
    char decoded[DnsNameBufferSize];
    size_t position = 0;
    require(ncm_dns_decode_name(wire, static_cast<size_t>(end), position, decoded, sizeof decoded) == 0);
    require(position == static_cast<size_t>(end));
    require(name == decoded);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const auto query = [](bool wantA) {
        std::vector<uint8_t> framed;
        ncm_dns_build_query("www.example.test", framed, wantA);
        return std::vector<uint8_t>(framed.begin() + 2, framed.end());
    };
    static const std::vector<uint8_t> queryA = query(true), queryAaaa = query(false);

    parseAgainstItself(data, size, DnsTypeA);
    parseAgainstItself(data, size, DnsTypeAaaa);
    parseAgainstQuery(queryA, data, size, true);
    parseAgainstQuery(queryAaaa, data, size, false);
    decodeEverywhere(data, size);
    roundTrip(data, size);
    return 0;
}
