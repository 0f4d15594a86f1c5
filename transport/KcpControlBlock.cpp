#include "transport/KcpControlBlock.h"

#include "base/ByteOrder.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t Overhead = KcpSegment::Overhead;
constexpr int32_t MaxRto = 60000;
constexpr uint32_t ThreshMin = 2;
constexpr uint32_t ProbeInit = 7000; // first wait before asking a closed window
constexpr uint32_t ProbeLimit = 120000; // longest wait between window asks
constexpr uint32_t MaxFragments = 255; // frg travels in one byte
constexpr int32_t ClockJump = 10000; // a bigger gap restarts the flush schedule

// Paced sending.
constexpr double StartupGain = 2.885; // doubles the rate each round trip
constexpr double CwndGain = 2.0; // in flight: twice the bandwidth-delay product
// One round trip each: probe for more, drain what the probe queued, cruise.
constexpr double CycleGains[] = { 1.25, 0.75, 1, 1, 1, 1, 1, 1 };
constexpr uint32_t CycleLength = sizeof CycleGains / sizeof CycleGains[0];
constexpr uint32_t BwRounds = 10; // the bottleneck rate is the highest of this many rounds
constexpr uint32_t MinRttWindow = 10000; // ms a lowest round trip stays valid
constexpr uint32_t InitialSegments = 10; // in flight before the first round trip is measured
// Ms of sending the pacer lets out at once: a loop that wakes late (a busy
// machine) catches up this much, no more.
constexpr uint32_t PaceQuantum = 5;
constexpr uint32_t LateQuantum = 20;
constexpr uint32_t NoRttYet = 100; // ms assumed before the first sample
constexpr double MaxLossCredit = 0.5; // loss makes up for at most half the rate
constexpr uint32_t BatchSpread = 2; // ms over which one ack flush's datagrams arrive

// Signed distance from b to a; wrap-around safe for sequence numbers and times.
inline int32_t timeDiff(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b);
}

inline void put8(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
}

} // namespace

std::unique_ptr<KcpControlBlock> KcpControlBlock::create(uint32_t conv, void* user)
{
    try {
        return std::unique_ptr<KcpControlBlock>(new KcpControlBlock(conv, user));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

KcpControlBlock::KcpControlBlock(uint32_t conv, void* user)
    : m_conv(conv)
    , m_user(user)
    , m_buffer(3 * (m_mtu + Overhead))
{
}

KcpControlBlock::~KcpControlBlock() = default;

int KcpControlBlock::setMtu(int mtu)
{
    if (mtu < 50)
        return -1;
    try {
        std::vector<uint8_t> buffer(3 * (static_cast<size_t>(mtu) + Overhead));
        m_buffer.swap(buffer);
    } catch (const std::bad_alloc&) {
        return -2;
    }
    m_mtu = static_cast<uint32_t>(mtu);
    m_mss = m_mtu - Overhead;
    return 0;
}

int KcpControlBlock::setNoDelay(int nodelay, int interval, int resend, int nc)
{
    if (nodelay >= 0) {
        m_noDelay = static_cast<uint32_t>(nodelay);
        m_rxMinRto = nodelay ? 30 : 100;
    }
    m_interval = static_cast<uint32_t>(std::clamp(interval, 10, 5000));
    if (resend >= 0)
        m_fastResend = static_cast<uint32_t>(resend);
    if (nc >= 0)
        m_noCwnd = static_cast<uint32_t>(nc);
    return 0;
}

int KcpControlBlock::setWindowSize(int sndWnd, int rcvWnd)
{
    if (sndWnd > 0)
        m_sndWnd = static_cast<uint32_t>(sndWnd);
    if (rcvWnd > 0)
        m_rcvWnd = static_cast<uint32_t>(rcvWnd);
    return 0;
}

void KcpControlBlock::setLogWriter(LogWriter writer, uint32_t mask)
{
    m_log = std::move(writer);
    m_logMask = mask;
}

void KcpControlBlock::log(uint32_t bit, const char* format, ...) const
{
    if (!canLog(bit))
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    m_log(line);
}

KcpSegment KcpControlBlock::makeSegment(uint32_t cmd, const uint8_t* data, uint32_t length) const
{
    KcpSegment seg;
    seg.cmd = cmd;
    if (length > 0)
        seg.data.assign(data, data + length);
    return seg;
}

// ---------------------------------------------------------------------------
// Application side

int KcpControlBlock::send(const void* data, int length)
{
    if (length < 0)
        return -1;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t remaining = static_cast<uint32_t>(length);

    // Everything is built aside first so that a failed allocation leaves the
    // queue exactly as it was.
    KcpSegment* tail = nullptr;
    uint32_t extend = 0;
    if (m_stream && !m_sndQueue.empty()) {
        KcpSegment& last = m_sndQueue.back();
        // The zero-length Push is our end-of-stream marker; data never merges into it.
        if (last.cmd == KcpSegment::Push && last.len() > 0 && last.len() < m_mss) {
            tail = &last;
            extend = std::min(remaining, m_mss - last.len());
            remaining -= extend;
        }
    }

    uint64_t count = (static_cast<uint64_t>(remaining) + m_mss - 1) / m_mss;
    if (!m_stream && count > MaxFragments)
        return -2;

    SegmentList pieces;
    try {
        if (tail)
            tail->data.reserve(tail->len() + extend);
        const uint8_t* p = bytes + extend;
        for (uint64_t i = 0; i < count; ++i) {
            uint32_t size = std::min(remaining, m_mss);
            pieces.push_back(makeSegment(KcpSegment::Push, p, size));
            pieces.back().frg = m_stream ? 0 : static_cast<uint32_t>(count - i - 1);
            p += size;
            remaining -= size;
        }
    } catch (const std::bad_alloc&) {
        return -2;
    }
    if (tail)
        tail->data.insert(tail->data.end(), bytes, bytes + extend);
    m_sndQueue.splice(m_sndQueue.end(), pieces);
    return 0;
}

int KcpControlBlock::peekSize()
{
    if (m_rcvQueue.empty())
        return -1;
    const KcpSegment& head = m_rcvQueue.front();
    if (head.frg == 0) {
        if (head.len() > 0)
            return static_cast<int>(head.len());
        // The peer's end-of-stream marker: it stays at the head for good.
        m_state |= PeerClosed;
        return 0;
    }
    if (m_rcvQueue.size() < static_cast<size_t>(head.frg) + 1)
        return -1;
    int64_t size = 0;
    for (const KcpSegment& seg : m_rcvQueue) {
        size += seg.len();
        if (seg.frg == 0)
            break;
    }
    return static_cast<int>(std::min<int64_t>(size, INT32_MAX));
}

int KcpControlBlock::recv(void* buffer, int length)
{
    if (m_rcvQueue.empty())
        return -1;
    int peek = peekSize();
    if (peek < 0)
        return -2;
    if (peek > std::llabs(static_cast<long long>(length)))
        return -3;
    const KcpSegment& head = m_rcvQueue.front();
    if (head.frg == 0 && head.len() == 0)
        return 0; // the marker is never consumed, so nothing behind it is ever read

    const bool peeking = length < 0;
    const bool recover = m_rcvQueue.size() >= m_rcvWnd;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int copied = 0;
    for (auto it = m_rcvQueue.begin(); it != m_rcvQueue.end();) {
        if (out && it->len() > 0)
            std::memcpy(out + copied, it->data.data(), it->len());
        copied += static_cast<int>(it->len());
        uint32_t fragment = it->frg;
        log(LogRecv, "recv sn=%lu", static_cast<unsigned long>(it->sn));
        if (peeking)
            ++it;
        else
            it = m_rcvQueue.erase(it);
        if (fragment == 0)
            break;
    }

    moveReadyToQueue();
    // The reader opened a window that was full: tell the peer at once.
    if (m_rcvQueue.size() < m_rcvWnd && recover)
        m_probe |= 2;
    return copied;
}

void KcpControlBlock::open()
{
    if (waitSend() != 0 || m_sndNxt != 0)
        return;
    try {
        m_sndQueue.push_back(makeSegment(KcpSegment::Open, nullptr, 0));
    } catch (const std::bad_alloc&) {
        return;
    }
    flush();
}

void KcpControlBlock::close()
{
    if ((m_state & Established) == 0 || (m_state & LocalClosed) != 0)
        return;
    try {
        m_sndQueue.push_back(makeSegment(KcpSegment::Push, nullptr, 0));
    } catch (const std::bad_alloc&) {
        return; // state untouched, so a later close can try again
    }
    m_state &= ~static_cast<uint32_t>(Established);
    m_state |= LocalClosed;
    flush();
}

int32_t KcpControlBlock::sendRoom() const
{
    uint32_t window = std::min(m_sndWnd, m_rmtWnd);
    if (m_pacing) {
        const int32_t room = static_cast<int32_t>(window) - static_cast<int32_t>(m_sndNxt - m_sndUna);
        return std::min(room, static_cast<int32_t>(paceCap()) - static_cast<int32_t>(m_sndBuf.size()));
    }
    if (m_noCwnd == 0 && m_cwnd < window)
        window = m_cwnd;
    return static_cast<int32_t>(window) - static_cast<int32_t>(m_sndNxt - m_sndUna);
}

// ---------------------------------------------------------------------------
// Input side

void KcpControlBlock::shrinkBuf()
{
    m_sndUna = m_sndBuf.empty() ? m_sndNxt : m_sndBuf.front().sn;
}

void KcpControlBlock::parseUna(uint32_t una)
{
    while (!m_sndBuf.empty() && timeDiff(una, m_sndBuf.front().sn) > 0) {
        noteDelivered(m_sndBuf.front());
        m_sndBuf.pop_front();
    }
}

bool KcpControlBlock::parseAck(uint32_t sn)
{
    if (timeDiff(sn, m_sndUna) < 0 || timeDiff(sn, m_sndNxt) >= 0)
        return false;
    for (auto it = m_sndBuf.begin(); it != m_sndBuf.end(); ++it) {
        if (it->sn == sn) {
            noteDelivered(*it);
            m_sndBuf.erase(it);
            return true;
        }
        if (timeDiff(sn, it->sn) < 0)
            break;
    }
    return false;
}

// Only an ack of a segment sent no earlier than this one's last transmission
// counts. Acks of older segments, still arriving after a resend, say nothing
// about the resent copy; counting them resent a hole every other ack
// datagram, several times per round trip (2.6 link bytes per byte delivered
// at 10% loss with the relay's profile, against 1.5).
void KcpControlBlock::parseFastAck(uint32_t sn, uint32_t ts)
{
    if (timeDiff(sn, m_sndUna) < 0 || timeDiff(sn, m_sndNxt) >= 0)
        return;
    for (KcpSegment& seg : m_sndBuf) {
        if (timeDiff(sn, seg.sn) < 0)
            break;
        if (sn != seg.sn && timeDiff(ts, seg.ts) >= 0)
            ++seg.fastAck;
    }
}

void KcpControlBlock::updateAck(int32_t rtt)
{
    // 64-bit intermediates: a forged ts can make rtt close to 2^31.
    if (m_rxSrtt == 0) {
        m_rxSrtt = rtt;
        m_rxRttVal = rtt / 2;
    } else {
        int64_t delta = std::llabs(static_cast<int64_t>(rtt) - m_rxSrtt);
        m_rxRttVal = static_cast<int32_t>((3 * static_cast<int64_t>(m_rxRttVal) + delta) / 4);
        m_rxSrtt = static_cast<int32_t>((7 * static_cast<int64_t>(m_rxSrtt) + rtt) / 8);
        if (m_rxSrtt < 1)
            m_rxSrtt = 1;
    }
    int64_t rto = m_rxSrtt + std::max<int64_t>(m_interval, 4 * static_cast<int64_t>(m_rxRttVal));
    m_rxRto = static_cast<int32_t>(std::clamp<int64_t>(rto, m_rxMinRto, MaxRto));
}

void KcpControlBlock::pushAck(uint32_t sn, uint32_t ts)
{
    if (m_ackList.size() == m_ackList.capacity()) {
        size_t capacity = 8;
        while (capacity < m_ackList.size() + 1)
            capacity *= 2;
        try {
            m_ackList.reserve(capacity);
        } catch (const std::bad_alloc&) {
            return; // unacknowledged, so the peer sends the segment again
        }
    }
    m_ackList.emplace_back(sn, ts);
}

void KcpControlBlock::moveReadyToQueue()
{
    while (!m_rcvBuf.empty() && m_rcvBuf.front().sn == m_rcvNxt && m_rcvQueue.size() < m_rcvWnd) {
        m_rcvQueue.splice(m_rcvQueue.end(), m_rcvBuf, m_rcvBuf.begin());
        ++m_rcvNxt;
    }
}

// Files a received Push into rcvBuf (sorted by sn, duplicates dropped) and
// moves what became contiguous to rcvQueue. False only when memory is short.
bool KcpControlBlock::storeReceived(const KcpSegment& header, const uint8_t* data, uint32_t len)
{
    const uint32_t sn = header.sn;
    if (timeDiff(sn, m_rcvNxt + m_rcvWnd) >= 0 || timeDiff(sn, m_rcvNxt) < 0)
        return true;

    auto position = m_rcvBuf.end();
    bool duplicate = false;
    while (position != m_rcvBuf.begin()) {
        auto before = std::prev(position);
        if (before->sn == sn) {
            duplicate = true;
            break;
        }
        if (timeDiff(sn, before->sn) > 0)
            break;
        position = before;
    }
    if (!duplicate) {
        try {
            KcpSegment seg = makeSegment(KcpSegment::Push, data, len);
            seg.conv = header.conv;
            seg.frg = header.frg;
            seg.wnd = header.wnd;
            seg.ts = header.ts;
            seg.sn = sn;
            seg.una = header.una;
            m_rcvBuf.insert(position, std::move(seg));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    moveReadyToQueue();
    return true;
}

int KcpControlBlock::input(const void* data, long size)
{
    if (!data || size < static_cast<long>(Overhead))
        return -1;
    log(LogInput, "[RI] %d bytes", static_cast<int>(size));

    const uint32_t prevUna = m_sndUna;
    m_haveSample = false;
    bool haveAck = false;
    uint32_t maxAck = 0;
    uint32_t maxAckTs = 0;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    int64_t remaining = size;

    while (remaining >= Overhead) {
        // Only the header fields are decoded here; data is copied only when stored.
        KcpSegment seg;
        seg.conv = readLe32(p);
        if (seg.conv != m_conv)
            return -1;
        seg.cmd = p[4];
        seg.frg = p[5];
        seg.wnd = readLe16(p + 6);
        seg.ts = readLe32(p + 8);
        seg.sn = readLe32(p + 12);
        seg.una = readLe32(p + 16);
        const uint32_t len = readLe32(p + 20);
        p += Overhead;
        remaining -= Overhead;
        if (remaining < len)
            return -2;
        if (seg.cmd < KcpSegment::Open || seg.cmd > KcpSegment::WindowTell)
            return -3;

        m_rmtWnd = seg.wnd;
        parseUna(seg.una);
        shrinkBuf();

        switch (seg.cmd) {
        case KcpSegment::Open:
            // Only the first Open counts: later copies are neither acknowledged nor stored.
            if (m_rcvNxt == 0) {
                pushAck(seg.sn, seg.ts);
                ++m_rcvNxt;
                m_state |= Established;
            }
            break;
        case KcpSegment::Ack: {
            const bool takenByUna = timeDiff(seg.sn, prevUna) >= 0 && timeDiff(seg.sn, m_sndUna) < 0;
            const bool taken = parseAck(seg.sn) || takenByUna;
            shrinkBuf();
            // A paced sender skips acks of segments already gone: a peer
            // that repeats its acks would otherwise give old time stamps as
            // round trips and count one ack datagram twice for fast resend.
            if (m_pacing && !taken) {
                log(LogInAck, "input ack: sn=%lu again", static_cast<unsigned long>(seg.sn));
                break;
            }
            if (timeDiff(m_current, seg.ts) >= 0) {
                const int32_t rtt = timeDiff(m_current, seg.ts);
                updateAck(rtt);
                // The echoed ts names the very transmission that arrived, so
                // even a resent segment's sample is exact.
                if (m_pacing && rtt < MaxRto
                    && (m_minRtt == 0 || static_cast<uint32_t>(rtt) <= m_minRtt
                        || timeDiff(m_current, m_minRttStamp) > static_cast<int32_t>(MinRttWindow))) {
                    m_minRtt = std::max<uint32_t>(static_cast<uint32_t>(rtt), 1);
                    m_minRttStamp = m_current;
                }
                if (m_pacing && (m_roundMinRtt == 0 || static_cast<uint32_t>(rtt) < m_roundMinRtt))
                    m_roundMinRtt = std::max<uint32_t>(static_cast<uint32_t>(rtt), 1);
                if (m_pacing && static_cast<uint32_t>(rtt) <= m_minRtt + queueSlack())
                    m_queueEmptySeen = true;
            }
            if (!haveAck || timeDiff(seg.sn, maxAck) > 0) {
                maxAck = seg.sn;
                maxAckTs = seg.ts;
            }
            haveAck = true;
            log(LogInAck, "input ack: sn=%lu rtt=%ld rto=%ld", static_cast<unsigned long>(seg.sn),
                static_cast<long>(timeDiff(m_current, seg.ts)), static_cast<long>(m_rxRto));
            break;
        }
        case KcpSegment::Push:
            log(LogInData, "input psh: sn=%lu ts=%lu", static_cast<unsigned long>(seg.sn),
                static_cast<unsigned long>(seg.ts));
            // No sender makes a segment longer than mss: stored, such segments
            // would let a window of them cost up to 64 kB each.
            if (len > m_mss)
                break;
            if (timeDiff(seg.sn, m_rcvNxt + m_rcvWnd) < 0) {
                // A segment that could not be stored is not acknowledged, so it comes again.
                if (timeDiff(seg.sn, m_rcvNxt) >= 0 && !storeReceived(seg, p, len))
                    break;
                pushAck(seg.sn, seg.ts);
            }
            break;
        case KcpSegment::WindowAsk:
            m_probe |= 2;
            log(LogInProbe, "input probe");
            break;
        case KcpSegment::WindowTell:
            log(LogInWindow, "input wins: %lu", static_cast<unsigned long>(seg.wnd));
            break;
        }
        p += len;
        remaining -= len;
    }

    if (haveAck)
        parseFastAck(maxAck, maxAckTs);
    if (m_pacing)
        updatePaceModel();

    // Congestion window growth: slow start below ssthresh, then about one
    // segment per round trip.
    if (timeDiff(m_sndUna, prevUna) > 0 && m_cwnd < m_rmtWnd) {
        const uint32_t mss = m_mss;
        if (m_cwnd < m_ssthresh) {
            ++m_cwnd;
            m_incr += mss;
        } else {
            if (m_incr < mss)
                m_incr = mss;
            m_incr += (mss * mss) / m_incr + (mss / 16);
            if ((m_cwnd + 1) * mss <= m_incr)
                ++m_cwnd;
        }
        if (m_cwnd > m_rmtWnd) {
            m_cwnd = m_rmtWnd;
            m_incr = m_rmtWnd * mss;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Output side

uint32_t KcpControlBlock::freeWindow() const
{
    return m_rcvQueue.size() < m_rcvWnd ? m_rcvWnd - static_cast<uint32_t>(m_rcvQueue.size()) : 0;
}

void KcpControlBlock::emitDatagram()
{
    if (m_bufferUsed == 0)
        return;
    log(LogOutput, "[RO] %ld bytes", static_cast<long>(m_bufferUsed));
    const uint32_t size = m_bufferUsed;
    m_bufferUsed = 0;
    if (m_output)
        m_output(m_buffer.data(), static_cast<int>(size), this, m_user);
}

// Room for `need` more bytes in the datagram being assembled; the datagram
// goes out first when they would push it past mtu. Null only when a segment
// larger than the whole buffer (left from a bigger mtu) cannot get room.
uint8_t* KcpControlBlock::reserveInDatagram(uint32_t need)
{
    if (m_bufferUsed > 0 && m_bufferUsed + need > m_mtu)
        emitDatagram();
    if (m_bufferUsed + need > m_buffer.size()) {
        try {
            m_buffer.resize(m_bufferUsed + need);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    uint8_t* at = m_buffer.data() + m_bufferUsed;
    m_bufferUsed += need;
    return at;
}

void KcpControlBlock::appendHeader(const KcpSegment& seg, uint32_t len)
{
    uint8_t* p = reserveInDatagram(Overhead + len);
    if (!p)
        return;
    writeLe32(p, seg.conv);
    put8(p + 4, seg.cmd);
    put8(p + 5, seg.frg);
    writeLe16(p + 6, seg.wnd);
    writeLe32(p + 8, seg.ts);
    writeLe32(p + 12, seg.sn);
    writeLe32(p + 16, seg.una);
    writeLe32(p + 20, len);
    if (len > 0)
        std::memcpy(p + Overhead, seg.data.data(), len);
}

void KcpControlBlock::flush()
{
    if (!m_updated)
        return;

    const uint32_t free = freeWindow();
    m_bufferUsed = 0;

    // Acknowledgements, and the window ask/tell after them.
    KcpSegment control;
    control.conv = m_conv;
    control.cmd = KcpSegment::Ack;
    control.wnd = free;
    control.una = m_rcvNxt;
    for (const auto& [sn, ts] : m_ackAgain) {
        if (timeDiff(sn, m_rcvNxt) < 0)
            continue; // una covers it now
        control.sn = sn;
        control.ts = ts;
        appendHeader(control, 0);
    }
    m_ackAgain.clear();
    for (const auto& [sn, ts] : m_ackList) {
        control.sn = sn;
        control.ts = ts;
        appendHeader(control, 0);
    }
    if (m_ackRepeat) {
        // Swapped, not copied: repeating never allocates.
        m_ackAgain.swap(m_ackList);
        const uint32_t rcvNxt = m_rcvNxt;
        m_ackAgain.erase(std::remove_if(m_ackAgain.begin(), m_ackAgain.end(),
                             [rcvNxt](const auto& ack) { return timeDiff(ack.first, rcvNxt) < 0; }),
            m_ackAgain.end());
    }
    m_ackList.clear();

    if (m_rmtWnd == 0) {
        if (m_probeWait == 0) {
            m_probeWait = ProbeInit;
            m_tsProbe = m_current + m_probeWait;
        } else if (timeDiff(m_current, m_tsProbe) >= 0) {
            if (m_probeWait < ProbeInit)
                m_probeWait = ProbeInit;
            m_probeWait += m_probeWait / 2;
            if (m_probeWait > ProbeLimit)
                m_probeWait = ProbeLimit;
            m_tsProbe = m_current + m_probeWait;
            m_probe |= 1;
        }
    } else {
        m_tsProbe = 0;
        m_probeWait = 0;
    }

    if (m_probe & 1) {
        control.cmd = KcpSegment::WindowAsk;
        appendHeader(control, 0);
    }
    if (m_probe & 2) {
        control.cmd = KcpSegment::WindowTell;
        appendHeader(control, 0);
    }
    m_probe = 0;

    if (m_pacing) {
        sendPaced(free);
        emitDatagram();
        return;
    }

    uint32_t window = std::min(m_sndWnd, m_rmtWnd);
    if (m_noCwnd == 0)
        window = std::min(m_cwnd, window);

    while (timeDiff(m_sndNxt, m_sndUna + window) < 0 && !m_sndQueue.empty()) {
        m_sndBuf.splice(m_sndBuf.end(), m_sndQueue, m_sndQueue.begin());
        KcpSegment& seg = m_sndBuf.back();
        seg.conv = m_conv;
        seg.wnd = free;
        seg.ts = m_current;
        seg.sn = m_sndNxt++;
        seg.una = m_rcvNxt;
        seg.resendTs = m_current;
        seg.rto = static_cast<uint32_t>(m_rxRto);
        seg.fastAck = 0;
        seg.xmit = 0;
    }

    const uint32_t resent = m_fastResend > 0 ? m_fastResend : 0xffffffffu;
    const uint32_t rtoMin = m_noDelay == 0 ? static_cast<uint32_t>(m_rxRto >> 3) : 0;
    const uint32_t rxRto = static_cast<uint32_t>(m_rxRto);
    bool lost = false;
    uint32_t change = 0;

    for (KcpSegment& seg : m_sndBuf) {
        bool send = false;
        if (seg.xmit == 0) {
            send = true;
            seg.xmit = 1;
            seg.rto = rxRto;
            seg.resendTs = m_current + seg.rto + rtoMin;
        } else if (timeDiff(m_current, seg.resendTs) >= 0) {
            send = true;
            ++seg.xmit;
            ++m_xmit;
            seg.rto += m_noDelay == 0 ? rxRto : rxRto / 2;
            seg.resendTs = m_current + seg.rto;
            lost = true;
        } else if (seg.fastAck >= resent) {
            send = true;
            ++seg.xmit;
            seg.fastAck = 0;
            seg.resendTs = m_current + seg.rto;
            ++change;
        }
        if (send) {
            seg.ts = m_current;
            seg.wnd = free;
            seg.una = m_rcvNxt;
            appendHeader(seg, seg.len());
        }
    }
    emitDatagram();

    if (change > 0) {
        const uint32_t inflight = m_sndNxt - m_sndUna;
        m_ssthresh = std::max(inflight / 2, ThreshMin);
        m_cwnd = m_ssthresh + resent;
        m_incr = m_cwnd * m_mss;
    }
    if (lost) {
        m_ssthresh = std::max(window / 2, ThreshMin);
        m_cwnd = 1;
        m_incr = m_mss;
    }
    if (m_cwnd < 1) {
        m_cwnd = 1;
        m_incr = m_mss;
    }
}

void KcpControlBlock::update(uint32_t now)
{
    m_current = now;
    if (!m_updated) {
        m_updated = 1;
        m_tsFlush = now;
    }
    int32_t slap = timeDiff(now, m_tsFlush);
    if (slap >= ClockJump || slap < -ClockJump) {
        m_tsFlush = now;
        slap = 0;
    }
    if (slap >= 0) {
        m_tsFlush += m_interval;
        if (timeDiff(now, m_tsFlush) >= 0)
            m_tsFlush = now + m_interval;
        flush();
    } else if (paceWait() == 0) {
        flush();
    }
}

// ---------------------------------------------------------------------------
// Paced sending
//
// Window bursts overflow a bottleneck's queue long before they fill its
// link: goodput then follows the queue. Here segments leave at the
// bottleneck rate the acks measured (a delivery rate sample per input,
// bytes delivered between a segment's sending and its ack over the longer
// of the send and ack intervals), scaled by a gain that starts high to find
// the rate, then cycles a little above and below it to follow changes.
// Random loss is not congestion: it neither cuts the rate nor what may be in
// flight; the rate is instead raised by the share of repeats, since a lossy
// link carries the lost copies too.

int32_t KcpControlBlock::paceWait() const
{
    if (!m_pacing || !m_paceBlocked)
        return -1;
    const double rate = pacingRate();
    const double budget = m_paceBudget + rate * std::max(timeDiff(m_current, m_paceStamp), 0);
    if (budget > 0)
        return 0;
    const double wait = std::ceil((1 - budget) / rate);
    return static_cast<int32_t>(std::clamp<double>(wait, 1, m_interval));
}

double KcpControlBlock::pacingRate() const
{
    double gain = 1;
    switch (m_paceMode) {
    case PaceMode::Startup: gain = StartupGain; break;
    case PaceMode::Drain: gain = 1 / StartupGain; break;
    case PaceMode::ProbeBandwidth: gain = CycleGains[m_cycleIndex]; break;
    }
    // Never below a few segments per round trip: the first samples (the
    // Open's ack, a round of early losses) can be tiny, and startup would
    // crawl up from them.
    const uint32_t rtt = m_rxSrtt > 0 ? static_cast<uint32_t>(m_rxSrtt) : NoRttYet;
    const double bw = std::max(m_btlBw, static_cast<double>(InitialSegments * paceSegmentBytes()) / rtt);
    return gain * bw / (1 - std::min(m_lossRate, MaxLossCredit));
}

// The bandwidth-delay product in bytes, loss included; 0 before the model has both.
double KcpControlBlock::paceBdp() const
{
    if (m_btlBw <= 0 || m_minRtt == 0)
        return 0;
    return m_btlBw * m_minRtt / (1 - std::min(m_lossRate, MaxLossCredit));
}

// Segments that may be in flight.
uint32_t KcpControlBlock::paceCap() const
{
    const double bdp = paceBdp();
    if (bdp <= 0)
        return InitialSegments;
    const double gain = m_paceMode == PaceMode::Startup ? StartupGain : CwndGain;
    // Round trips vary (acks come in clumps, paths jitter): what they add
    // above the lowest is allowed for, or the cap, not the link, would set
    // the rate.
    const double spread = m_btlBw * 4 * std::max(m_rxRttVal, 0);
    const double cap = std::ceil((gain * bdp + spread) / paceSegmentBytes());
    return static_cast<uint32_t>(std::clamp<double>(cap, InitialSegments, 65535));
}

void KcpControlBlock::refillPaceBudget()
{
    const double rate = pacingRate();
    const int32_t elapsed = std::clamp(timeDiff(m_current, m_paceStamp), 0, 1000);
    m_paceStamp = m_current;
    // An idle spell earns a burst of PaceQuantum at most. A late wake-up
    // with segments waiting (a busy machine) makes up for more, or its
    // share of the link is lost for good.
    const uint32_t quantum = m_paceBlocked ? LateQuantum : PaceQuantum;
    const double cap = std::max<double>(2.0 * paceSegmentBytes(), rate * quantum);
    m_paceBudget = std::min(m_paceBudget + rate * elapsed, cap);
}

void KcpControlBlock::noteDelivered(const KcpSegment& seg)
{
    if (!m_pacing || seg.xmit == 0)
        return;
    const uint32_t bytes = seg.len() + KcpSegment::Overhead;
    m_delivered += bytes;
    m_deliveredTime = m_current;
    CreditStep& last = m_creditSteps[(m_creditNext + CreditSteps - 1) % CreditSteps];
    if (last.delivered != 0 && last.time == m_current) {
        last.delivered = m_delivered;
    } else {
        m_creditSteps[m_creditNext] = { m_current, m_delivered };
        m_creditNext = (m_creditNext + 1) % CreditSteps;
    }
    // Sent before a segment already acknowledged: its ack came late (the
    // first copy was lost), and it reached the peer back then. Remembered
    // so that samples begun after that leave it out.
    if (m_delivered > bytes && timeDiff(seg.ts, m_newestDelivered) < 0) {
        m_lateCredits[m_lateNext] = { m_delivered, seg.ts, bytes };
        m_lateNext = (m_lateNext + 1) % LateCredits;
    } else {
        m_newestDelivered = seg.ts;
    }
    m_firstSentTime = seg.ts;
    if (m_limitedUntil != 0 && m_delivered > m_limitedUntil)
        m_limitedUntil = 0;
    if (m_idleUntil != 0 && m_delivered > m_idleUntil)
        m_idleUntil = 0;
    if (m_haveSample && seg.deliveredAtSend <= m_samplePrior)
        return; // an older segment than the one already sampled
    m_haveSample = true;
    m_samplePrior = seg.deliveredAtSend;
    m_sampleLimited = seg.limitedAtSend;
    m_sampleIdle = seg.idleAtSend;
    m_sampleFirstSent = seg.firstSentAtSend;
    m_sampleStart = seg.deliveredTimeAtSend;
    const int32_t sendElapsed = timeDiff(seg.ts, seg.firstSentAtSend);
    const int32_t ackElapsed = timeDiff(m_current, seg.deliveredTimeAtSend);
    m_sampleInterval = std::max(sendElapsed, ackElapsed);
}

void KcpControlBlock::updatePaceModel()
{
    if (!m_haveSample)
        return;
    m_haveSample = false;
    bool roundStart = false;
    bool queueStood = false;
    if (m_samplePrior >= m_nextRoundDelivered) {
        m_nextRoundDelivered = m_delivered;
        ++m_round;
        roundStart = true;
        m_roundMaxBw[m_round % BwRounds] = 0;
        // Only a round that saw the queue empty tells random loss: losses
        // of a full queue are ours, and counting them would raise the rate
        // that caused them. Such a round may still lower the estimate.
        const bool queueEmptied = m_roundMinRtt != 0 && m_roundMinRtt <= m_minRtt + queueSlack();
        // A quarter round trip of queue through a whole round: the link is
        // full. A round of a few segments tells nothing: one short answer's
        // round trip includes the peer's ack delay.
        queueStood = m_roundSent >= InitialSegments && m_roundMinRtt != 0
            && m_roundMinRtt >= m_minRtt + m_minRtt / 4;
        if (m_roundSent >= 8 && m_paceMode == PaceMode::ProbeBandwidth) {
            double loss = static_cast<double>(m_roundResent) / m_roundSent;
            if (!queueEmptied)
                loss = std::min(loss, m_lossRate);
            m_lossRate = (3 * m_lossRate + loss) / 4;
        }
        m_roundSent = 0;
        m_roundResent = 0;
        m_roundMinRtt = 0;
    }
    // Shorter than a round trip, a sample measures an ack burst, not the path.
    if (m_sampleInterval > 0 && static_cast<uint32_t>(m_sampleInterval) >= m_minRtt) {
        // A peer's acks of one flush may fill several datagrams, and a
        // segment sent between them would count the later ones as if they
        // had arrived in its interval: credits that came within
        // BatchSpread of the sample's start belong before it.
        uint64_t prior = m_samplePrior;
        for (const CreditStep& step : m_creditSteps)
            if (step.delivered > prior && step.delivered <= m_delivered
                && static_cast<uint32_t>(timeDiff(step.time, m_sampleStart)) <= BatchSpread)
                prior = step.delivered;
        uint64_t bytes = m_delivered - prior;
        for (const LateCredit& late : m_lateCredits)
            if (late.deliveredAfter > prior && timeDiff(late.sentTs, m_sampleFirstSent) < 0)
                bytes -= late.bytes;
        const double rate = static_cast<double>(bytes) / m_sampleInterval;
        double& slot = m_roundMaxBw[m_round % BwRounds];
        // A held-back sender's sample may raise the estimate, never lower it:
        // otherwise each limit would shrink the rate and with it the next limit.
        if (!m_sampleLimited || rate >= m_btlBw)
            slot = std::max(slot, rate);
        else
            slot = std::max(slot, m_roundMaxBw[(m_round + BwRounds - 1) % BwRounds]);
    }
    m_btlBw = *std::max_element(std::begin(m_roundMaxBw), std::end(m_roundMaxBw));

    const double inflight = static_cast<double>(m_sndBuf.size()) * paceSegmentBytes();
    switch (m_paceMode) {
    case PaceMode::Startup:
        // Three rounds without 25 % more, or a queue that no longer empties:
        // the link is full. Waiting for the rounds alone overflowed a
        // one-BDP queue by hundreds of segments at every start.
        // Rounds of short answers (a conversation kept for later requests)
        // tell nothing about the link: leaving startup on them made the
        // next large answer creep up from a tiny rate by a quarter per
        // probing cycle.
        if (roundStart && m_btlBw > 0 && !m_sampleIdle && (queueStood || !m_sampleLimited)) {
            if (queueStood) {
                m_paceMode = PaceMode::Drain;
            } else if (m_btlBw >= 1.25 * m_fullBw) {
                m_fullBw = m_btlBw;
                m_fullBwRounds = 0;
            } else if (++m_fullBwRounds >= 3) {
                m_paceMode = PaceMode::Drain;
            }
        }
        if (m_paceMode != PaceMode::Drain)
            break;
        [[fallthrough]];
    case PaceMode::Drain:
        if (inflight <= paceBdp()) {
            m_paceMode = PaceMode::ProbeBandwidth;
            m_cycleIndex = 2; // cruise first: the queue was just drained
            m_cycleStamp = m_current;
        }
        break;
    case PaceMode::ProbeBandwidth: {
        const int32_t phase = timeDiff(m_current, m_cycleStamp);
        if (m_cycleIndex == 1) {
            // Draining lasts until a round trip shows the queue gone: the
            // rate is a maximum of noisy samples and often a little high,
            // so "in flight below the estimate" can leave a queue standing.
            if (m_queueEmptySeen || phase > 3 * static_cast<int32_t>(m_minRtt))
                nextCycle();
        } else if (m_cycleIndex > 1 && roundStart && queueStood) {
            // A whole round with a queue at cruising speed: the estimate is
            // above the link, and the queue would grow until it overflows.
            m_cycleIndex = 0;
            nextCycle();
        } else if (phase > static_cast<int32_t>(m_minRtt)) {
            nextCycle();
        }
        break;
    }
    }
}

void KcpControlBlock::nextCycle()
{
    m_cycleIndex = (m_cycleIndex + 1) % CycleLength;
    m_cycleStamp = m_current;
    m_queueEmptySeen = false;
}

void KcpControlBlock::transmitPaced(KcpSegment& seg, uint32_t free)
{
    seg.ts = m_current;
    seg.wnd = free;
    seg.una = m_rcvNxt;
    seg.deliveredAtSend = m_delivered;
    seg.deliveredTimeAtSend = m_deliveredTime;
    seg.firstSentAtSend = m_firstSentTime;
    seg.limitedAtSend = m_limitedUntil != 0;
    seg.idleAtSend = m_idleUntil != 0;
    appendHeader(seg, seg.len());
    m_paceBudget -= seg.len() + KcpSegment::Overhead;
    ++m_roundSent;
}

// Repairs first (they hold the receiver back), then new segments, each
// while the budget lasts; the rest waits for the next flush.
void KcpControlBlock::sendPaced(uint32_t free)
{
    refillPaceBudget();
    m_paceBlocked = false;
    const uint32_t resent = m_fastResend > 0 ? m_fastResend : 0xffffffffu;
    const uint32_t rxRto = static_cast<uint32_t>(m_rxRto);
    // The probing cycle swings the round trip by the queue it builds, so a
    // time-out shorter than two round trips fires early for acks that are
    // merely late; real losses are repaired by fast resend well before.
    const uint32_t rtoFloor = 2 * static_cast<uint32_t>(std::max(m_rxSrtt, 0));
    auto resendDue = [&](uint32_t rto) { return m_current + std::max(rto, rtoFloor); };

    for (KcpSegment& seg : m_sndBuf) {
        const bool timedOut = timeDiff(m_current, seg.resendTs) >= 0;
        if (!timedOut && seg.fastAck < resent)
            continue;
        if (m_paceBudget <= 0) {
            m_paceBlocked = true;
            return;
        }
        ++seg.xmit;
        if (timedOut) {
            ++m_xmit;
            seg.rto += m_noDelay == 0 ? rxRto : rxRto / 2;
        } else {
            seg.fastAck = 0;
        }
        seg.resendTs = resendDue(seg.rto);
        // A time-out is often only a late ack: fast resends alone measure loss.
        if (!timedOut)
            ++m_roundResent;
        transmitPaced(seg, free);
    }

    const uint32_t window = std::min(m_sndWnd, m_rmtWnd);
    const uint32_t cap = paceCap();
    const uint32_t rtoMin = m_noDelay == 0 ? rxRto >> 3 : 0;
    while (!m_sndQueue.empty() && timeDiff(m_sndNxt, m_sndUna + window) < 0 && m_sndBuf.size() < cap) {
        if (m_paceBudget <= 0) {
            m_paceBlocked = true;
            return;
        }
        if (m_sndBuf.empty()) {
            // Nothing in flight: the next sample starts from now, not from the idle spell.
            m_deliveredTime = m_current;
            m_firstSentTime = m_current;
        }
        m_sndBuf.splice(m_sndBuf.end(), m_sndQueue, m_sndQueue.begin());
        KcpSegment& seg = m_sndBuf.back();
        seg.conv = m_conv;
        seg.sn = m_sndNxt++;
        seg.fastAck = 0;
        seg.xmit = 1;
        seg.rto = rxRto;
        seg.resendTs = resendDue(seg.rto + rtoMin);
        transmitPaced(seg, free);
    }
    uint64_t inflight = 0;
    for (const KcpSegment& seg : m_sndBuf)
        inflight += seg.len() + KcpSegment::Overhead;
    m_limitedUntil = std::max<uint64_t>(m_delivered + inflight, 1);
    if (m_sndQueue.empty())
        m_idleUntil = m_limitedUntil;
}
