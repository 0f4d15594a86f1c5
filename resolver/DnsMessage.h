#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// DNS wire format (RFC 1035) as far as the resolver needs it: one-question
// queries for A or AAAA, and a reply parser that only extracts addresses of
// the requested family. Plain functions over byte buffers.

constexpr uint16_t DnsTypeA = 1;
constexpr uint16_t DnsTypeCname = 5;
constexpr uint16_t DnsTypeSoa = 6;
constexpr uint16_t DnsTypePtr = 12;
constexpr uint16_t DnsTypeAaaa = 28;
constexpr uint16_t DnsClassIn = 1;

constexpr uint16_t DnsFlagQr = 0x8000;
constexpr uint16_t DnsFlagTc = 0x0200;
constexpr uint16_t DnsRcodeMask = 0x000F;
constexpr uint16_t DnsRcodeNxDomain = 3;

// Decoded names never exceed this, terminating NUL included.
constexpr size_t DnsNameBufferSize = 256;
constexpr int DnsReplyMaxAddresses = 32;

// Addresses of the requested family, in reply order.
struct DnsReply {
    uint16_t type; // DnsTypeA or DnsTypeAaaa
    bool haveAnswer;
    int count;
    union {
        uint8_t v4[DnsReplyMaxAddresses][4];
        uint8_t v6[DnsReplyMaxAddresses][16];
    } addresses;
};

// The query a reply is checked against: the message without its two framing
// bytes, and the type that was asked for.
struct DnsParseContext {
    const uint8_t* query;
    size_t queryLength;
    uint16_t type;
};

// Builds a framed query (two-byte big-endian length, then the message) with
// a random identifier. UDP sends out.data() + 2, TCP sends the whole vector.
// A name over 255 bytes, with a label over 63 bytes or with an empty label
// (other than after a final dot) leaves `out` empty and returns false.
bool ncm_dns_build_query(const char* name, std::vector<uint8_t>& out, bool wantA);

// Writes header, question name, type and class. Returns the message length,
// -1 (buffer too small, label over 63 bytes) or -2 (name over 255 bytes, or
// out of room inside the name).
int ncm_dns_write_request(const char* name, size_t nameLength, uint16_t id, uint16_t type, uint16_t qclass,
    uint8_t* buffer, size_t bufferSize);

// Writes the name as labels at `position`, without compression. Returns the
// position after the name, -1 for a label over 63 bytes or an empty one
// (other than after a final dot), -2 as ncm_dns_write_request.
int ncm_dns_encode_name(
    uint8_t* buffer, size_t bufferSize, size_t position, const char* name, size_t nameLength);

// Reads the (possibly compressed) name at `position` into `out` as dotted
// text. On success returns 0 and moves `position` past the name as it is
// stored at that place; returns -1 on any bound, loop or room error.
int ncm_dns_decode_name(const uint8_t* message, size_t length, size_t& position, char* out, size_t outSize);

// Returns 0 when the reply is accepted (possibly without addresses, e.g.
// NXDOMAIN), -1 when it is a broken or failed reply to the query, -2 when it
// is not a reply to the query at all (identifier, question, type or class
// differ, or no reply flag): the caller ignores it and keeps waiting. Never
// reads outside [reply, reply+length).
int ncm_dns_parse_reply(const uint8_t* reply, size_t length, const DnsParseContext& context, DnsReply& out);

// Parses a reply to `query` (without framing) and appends the addresses as
// text. `out` is emptied first and stays empty unless 0 is returned.
int ncm_dns_parse_response(const uint8_t* query, size_t queryLength, const uint8_t* reply, size_t replyLength,
    std::vector<std::string>& out, bool wantA);

// Length announced by a TCP frame header; -1 when fewer than two bytes.
int ncm_dns_frame_length(const uint8_t* bytes, size_t count);
