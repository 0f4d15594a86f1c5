#include "transport/Nat64Address.h"

#include "base/Logger.h"

#include <event2/util.h>

#include <arpa/inet.h>
#include <cstring>

int suffixZeroCount(const uint8_t address[16])
{
    int count = 0;
    for (int i = 15; i >= 0 && address[i] == 0; --i)
        ++count;
    return count;
}

namespace {

// Byte positions that hold the embedded IPv4 address for each valid
// suffix_zero_count; null for counts that are not a NAT64 layout.
const int* ipv4Positions(int zeroCount)
{
    static const int p96[4] = { 12, 13, 14, 15 };
    static const int p64[4] = { 9, 10, 11, 12 };
    static const int p56[4] = { 7, 9, 10, 11 };
    static const int p48[4] = { 6, 7, 9, 10 };
    static const int p40[4] = { 5, 6, 7, 9 };
    static const int p32[4] = { 4, 5, 6, 7 };
    switch (zeroCount) {
    case 0: return p96;
    case 3: return p64;
    case 4: return p56;
    case 5: return p48;
    case 6: return p40;
    case 8: return p32;
    default: return nullptr;
    }
}

} // namespace

bool CheckNat64Address(const uint8_t address[16])
{
    const int count = suffixZeroCount(address);
    if (count != 0) {
        logNat64.warn(
            "suffix_zero_count=%d, _replaced_nat64_addr=%s", count, toHexString(address, 16).c_str());
    }
    const int* positions = ipv4Positions(count);
    if (!positions) {
        logNat64.error("suffix_zero_count=%d", count);
        return false;
    }
    if ((count == 4 || count == 5 || count == 6) && address[8] != 0)
        return false;
    const uint8_t a = address[positions[0]], b = address[positions[1]], c = address[positions[2]],
                  d = address[positions[3]];
    return a == 192 && b == 0 && c == 0 && (d == 170 || d == 171);
}

void SynthesizeNat64Address(uint8_t address[16], const uint8_t ipv4[4])
{
    const int count = suffixZeroCount(address);
    const int* positions = ipv4Positions(count);
    if (!positions) {
        std::memcpy(address + 12, ipv4, 4);
        logNat64.error("suffix_zero_count=%d", count);
        return;
    }
    for (int i = 0; i < 4; ++i)
        address[positions[i]] = ipv4[i];
    if (count == 4 || count == 5 || count == 6)
        address[8] = 0;
}

std::string toHexString(const uint8_t* bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0f];
    }
    return out;
}

bool nat64AddressFor(const IpStackFacts& facts, const std::string& ipv4, std::string& out, bool& isIpv6)
{
    if (!(facts.ipv6Only && facts.nat64Known)) {
        out = ipv4;
        isIpv6 = false;
        return true;
    }
    uint8_t v4[4];
    if (evutil_inet_pton(AF_INET, ipv4.c_str(), v4) != 1)
        return false;
    uint8_t v6[16];
    std::memcpy(v6, facts.nat64Address, 16);
    SynthesizeNat64Address(v6, v4);
    char text[64];
    if (!evutil_inet_ntop(AF_INET6, v6, text, sizeof text))
        return false;
    out = text;
    isIpv6 = true;
    return true;
}
