#include "tests/support/KcpSimulatedNetwork.h"

#include "base/ByteOrder.h"
#include <algorithm>
#include <cmath>

void SimulatedLink::send(uint64_t now, const uint8_t* data, int length)
{
    largest = std::max(largest, length);
    sentBytes += static_cast<uint64_t>(length);
    multiSegment += length > static_cast<int>(KcpSegment::Overhead + readLe32(data + 20));
    burstBytes = (burstAt == now ? burstBytes : 0) + static_cast<uint64_t>(length);
    burstAt = now;
    largestBurst = std::max(largestBurst, burstBytes);
    uint64_t departure = now;
    if (profile.rateBytesPerMs > 0) {
        const double start = std::max(linkFree, static_cast<double>(now));
        if ((start - static_cast<double>(now)) * profile.rateBytesPerMs + length > profile.queueBytes)
            return; // the bottleneck's queue is full
        linkFree = start + length / profile.rateBytesPerMs;
        departure = static_cast<uint64_t>(std::ceil(linkFree));
    }
    auto chance = [&](double p) { return p > 0.0 && std::generate_canonical<double, 32>(rng) < p; };
    if (chance(profile.loss))
        return;
    const int copies = chance(profile.duplicate) ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
        const uint64_t delay = profile.delayMs + (profile.jitterMs ? rng() % (profile.jitterMs + 1) : 0);
        inFlight.emplace(
            std::make_pair(departure + delay, order++), std::vector<uint8_t>(data, data + length));
    }
}

void StreamSide::pump()
{
    if (!kcp->isEstablished())
        return;
    const int limit = 2 * static_cast<int>(kcp->sndWnd());
    bool moved = false;
    while (sendOffset < toSend.size() && kcp->waitSend() < limit) {
        const size_t chunk = std::min<size_t>(toSend.size() - sendOffset, 4096);
        if (kcp->send(toSend.data() + sendOffset, static_cast<int>(chunk)) != 0)
            break;
        sendOffset += chunk;
        moved = true;
    }
    if (moved && kcp->sendRoom() > 0)
        kcp->flush();
    if (closeWhenSent && sendOffset == toSend.size())
        kcp->close();
}

void StreamSide::deliver()
{
    if (!reading)
        return;
    int size;
    std::vector<char> buffer;
    while ((size = kcp->peekSize()) > 0) {
        buffer.resize(static_cast<size_t>(size));
        if (kcp->recv(buffer.data(), size) != size)
            break;
        received.append(buffer.data(), buffer.size());
    }
    peerEnded |= size == 0;
}

KcpPair::KcpPair(uint32_t conv, LinkProfile profile, uint32_t seed, uint32_t startClock)
    : m_rng(seed)
    , m_ab { profile, m_rng }
    , m_ba { profile, m_rng }
    , m_start(startClock)
{
    for (auto [side, link] : { std::make_pair(&m_a, &m_ab), std::make_pair(&m_b, &m_ba) }) {
        side->kcp = KcpControlBlock::create(conv, side);
        applyProxySettings(*side->kcp);
        side->kcp->setStreamMode(true);
        side->kcp->setOutput([this, link = link](const uint8_t* data, int length, KcpControlBlock*, void*) {
            link->send(m_elapsed, data, length);
        });
    }
}

void KcpPair::connect()
{
    m_a.kcp->update(clock());
    m_b.kcp->update(clock());
    m_a.kcp->open();
}

void KcpPair::tick(uint32_t ms)
{
    m_elapsed += ms;
    for (auto [side, link] : { std::make_pair(&m_a, &m_ba), std::make_pair(&m_b, &m_ab) }) {
        const bool wasEstablished = side->kcp->isEstablished();
        for (auto& in = link->inFlight; !in.empty() && in.begin()->first.first <= m_elapsed;) {
            const std::vector<uint8_t> datagram = std::move(in.begin()->second);
            in.erase(in.begin());
            side->kcp->input(datagram.data(), static_cast<long>(datagram.size()));
        }
        // The accepting side answers with its own Open (a no-op on the connecting side).
        if (!wasEstablished && side->kcp->isEstablished())
            side->kcp->open();
    }
    m_a.kcp->update(clock());
    m_b.kcp->update(clock());
    for (StreamSide* side : { &m_a, &m_b }) {
        side->deliver();
        side->pump();
    }
}

std::string makePayload(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string payload(size, '\0');
    for (size_t i = 0; i < size; i += 4) {
        const uint32_t word = rng();
        for (size_t j = 0; j < 4 && i + j < size; ++j)
            payload[i + j] = static_cast<char>(word >> (8 * j));
    }
    return payload;
}

std::string encodeKcp(const std::vector<KcpWire>& segments)
{
    std::string out;
    for (const KcpWire& s : segments) {
        uint8_t h[KcpSegment::Overhead];
        writeLe32(h, s.conv);
        h[4] = static_cast<uint8_t>(s.cmd);
        h[5] = static_cast<uint8_t>(s.frg);
        writeLe16(h + 6, static_cast<uint16_t>(s.wnd));
        writeLe32(h + 8, s.ts);
        writeLe32(h + 12, s.sn);
        writeLe32(h + 16, s.una);
        writeLe32(h + 20, s.lenOverride >= 0 ? static_cast<uint32_t>(s.lenOverride) : s.data.size());
        out.append(reinterpret_cast<const char*>(h), sizeof h).append(s.data);
    }
    return out;
}

std::vector<KcpWire> decodeKcp(const std::string& datagram)
{
    std::vector<KcpWire> segments;
    const auto* p = reinterpret_cast<const uint8_t*>(datagram.data());
    for (size_t at = 0; at + KcpSegment::Overhead <= datagram.size();) {
        const uint8_t* h = p + at;
        at += KcpSegment::Overhead;
        segments.push_back({ readLe32(h), h[4], h[5], readLe16(h + 6), readLe32(h + 8), readLe32(h + 12),
            readLe32(h + 16), datagram.substr(at, readLe32(h + 20)) });
        at += segments.back().data.size();
    }
    return segments;
}
