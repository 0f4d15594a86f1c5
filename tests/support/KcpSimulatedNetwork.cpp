#include "tests/support/KcpSimulatedNetwork.h"

#include "base/ByteOrder.h"
#include <algorithm>

SimulatedLink::SimulatedLink(LinkProfile profile, std::mt19937& rng)
    : m_profile(profile)
    , m_rng(rng)
{
}

bool SimulatedLink::chance(double p)
{
    if (p <= 0.0)
        return false;
    return std::generate_canonical<double, 32>(m_rng) < p;
}

void SimulatedLink::send(uint64_t now, const uint8_t* data, int length)
{
    m_stats.largest = std::max(m_stats.largest, length);
    if (length > static_cast<int>(KcpSegment::Overhead)) {
        uint32_t firstLen = readLe32(data + 20);
        if (static_cast<uint64_t>(length) > KcpSegment::Overhead + static_cast<uint64_t>(firstLen))
            ++m_stats.multiSegment;
    }
    if (chance(m_profile.loss))
        return;
    const int copies = chance(m_profile.duplicate) ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
        uint64_t delay = m_profile.delayMs;
        if (m_profile.jitterMs > 0)
            delay += m_rng() % (m_profile.jitterMs + 1);
        m_inFlight.emplace(std::make_pair(now + delay, m_order++), std::vector<uint8_t>(data, data + length));
    }
}

bool SimulatedLink::popDue(uint64_t now, std::vector<uint8_t>& datagram)
{
    if (m_inFlight.empty() || m_inFlight.begin()->first.first > now)
        return false;
    datagram = std::move(m_inFlight.begin()->second);
    m_inFlight.erase(m_inFlight.begin());
    return true;
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
        const int got = kcp->recv(buffer.data(), size);
        if (got != size)
            break;
        if (kcp->stream())
            received.append(buffer.data(), buffer.size());
        else
            messages.emplace_back(buffer.data(), buffer.size());
    }
    if (size == 0)
        peerEnded = true;
}

KcpPair::KcpPair(uint32_t conv, LinkProfile profile, uint32_t seed, uint32_t startClock)
    : m_rng(seed)
    , m_ab(profile, m_rng)
    , m_ba(profile, m_rng)
    , m_start(startClock)
{
    m_a.kcp = KcpControlBlock::create(conv, &m_a);
    m_b.kcp = KcpControlBlock::create(conv, &m_b);
    applySystemSettings(*m_a.kcp);
    applySystemSettings(*m_b.kcp);
    m_a.kcp->setOutput([this](const uint8_t* data, int length, KcpControlBlock*, void*) {
        m_ab.send(m_elapsed, data, length);
    });
    m_b.kcp->setOutput([this](const uint8_t* data, int length, KcpControlBlock*, void*) {
        m_ba.send(m_elapsed, data, length);
    });
}

void KcpPair::applySystemSettings(KcpControlBlock& kcp)
{
    kcp.setMtu(1360);
    kcp.setNoDelay(1, 20, 2, 0);
    kcp.setWindowSize(1204, 1024);
    kcp.setStreamMode(true);
}

void KcpPair::connect()
{
    m_a.kcp->update(clock());
    m_b.kcp->update(clock());
    m_a.kcp->open();
}

void KcpPair::arrive(StreamSide& side, SimulatedLink& from)
{
    const bool wasEstablished = side.kcp->isEstablished();
    std::vector<uint8_t> datagram;
    while (from.popDue(m_elapsed, datagram))
        side.kcp->input(datagram.data(), static_cast<long>(datagram.size()));
    // The accepting side answers with its own Open; on the connecting side
    // this is a no-op because its Open already took sequence number 0.
    if (!wasEstablished && side.kcp->isEstablished())
        side.kcp->open();
}

void KcpPair::tick(uint32_t ms)
{
    m_elapsed += ms;
    arrive(m_a, m_ba);
    arrive(m_b, m_ab);
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
