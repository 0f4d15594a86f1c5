#include "tests/support/KcpSimulatedNetwork.h"
#include "transport/KcpControlBlock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Lets tests place sequence numbers just below the 32-bit wrap.
struct KcpControlBlockTestAccess {
    static void rebaseSend(KcpControlBlock& kcp, uint32_t sn) { kcp.m_sndUna = kcp.m_sndNxt = sn; }
    static void rebaseReceive(KcpControlBlock& kcp, uint32_t sn) { kcp.m_rcvNxt = sn; }
};

namespace {

constexpr uint32_t Conv = 0x11223344;

using Wire = KcpWire;

Wire segment(uint32_t cmd, uint32_t sn = 0, uint32_t ts = 0, std::string data = {}, uint32_t frg = 0)
{
    return { Conv, cmd, frg, 1024, ts, sn, 0, std::move(data) };
}

Wire push(uint32_t sn, std::string data, uint32_t frg = 0)
{
    return segment(KcpSegment::Push, sn, 0, std::move(data), frg);
}

// "cmd sn@ts" per segment, with the data length when there is data: "80 0@1000 81 0@1000".
std::string describe(const std::vector<Wire>& segments)
{
    std::string out;
    for (const Wire& s : segments)
        out += (out.empty() ? "" : " ") + std::to_string(s.cmd) + " " + std::to_string(s.sn) + "@"
            + std::to_string(s.ts) + (s.data.empty() ? "" : "+" + std::to_string(s.data.size()));
    return out;
}

int feed(KcpControlBlock& kcp, const std::string& datagram)
{
    return kcp.input(reinterpret_cast<const uint8_t*>(datagram.data()), static_cast<long>(datagram.size()));
}

// One engine with the proxy's settings whose datagrams are captured instead of sent.
struct Captured {
    KcpControlBlockPtr kcp = KcpControlBlock::create(Conv, nullptr);
    std::vector<std::string> sent;

    Captured()
    {
        applyProxySettings(*kcp);
        kcp->setStreamMode(true);
        kcp->setOutput([this](const uint8_t* data, int length, KcpControlBlock*, void*) {
            sent.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        });
    }
    int input(const std::vector<Wire>& segments) { return feed(*kcp, encodeKcp(segments)); }
    std::vector<Wire> segments() const
    {
        std::vector<Wire> all;
        for (const auto& datagram : sent)
            for (const Wire& s : decodeKcp(datagram))
                all.push_back(s);
        return all;
    }
    std::vector<Wire> takeSegments()
    {
        std::vector<Wire> all = segments();
        sent.clear();
        return all;
    }
    std::vector<uint32_t> takeSns(uint32_t cmd)
    {
        std::vector<uint32_t> sns;
        for (const Wire& s : takeSegments())
            if (s.cmd == cmd)
                sns.push_back(s.sn);
        return sns;
    }
    // Accepts the peer's Open so that data may flow; wnd is what the peer advertises.
    void establish(uint32_t now, uint32_t wnd = 1024)
    {
        kcp->update(now);
        Wire open = segment(KcpSegment::Open);
        open.wnd = wnd;
        ASSERT_EQ(0, input({ open }));
        ASSERT_TRUE(kcp->isEstablished());
        kcp->flush(); // the Open's acknowledgement goes out; tests start with nothing pending
        sent.clear();
    }
};

TEST(KcpHandshake, EachSideOpensWithSequenceZeroOnlyInItsStateAndLateOpenIsIgnored)
{
    Captured a, b;
    a.kcp->update(1000);
    a.kcp->open();
    ASSERT_EQ(1u, a.sent.size());
    EXPECT_EQ(describe(a.segments()), std::to_string(KcpSegment::Open) + " 0@1000");
    EXPECT_EQ(Conv, a.segments()[0].conv);
    a.kcp->close(); // before establishment: queues no end-of-stream marker
    EXPECT_EQ(0u, a.kcp->state() & KcpControlBlock::LocalClosed);
    b.kcp->update(1005);
    ASSERT_EQ(0, feed(*b.kcp, a.sent[0]));
    EXPECT_TRUE(b.kcp->isEstablished());
    b.kcp->open(); // the acknowledgement and B's own Open travel in one datagram
    ASSERT_EQ(1u, b.sent.size());
    EXPECT_EQ(describe(b.segments()),
        std::to_string(KcpSegment::Ack) + " 0@1000 " + std::to_string(KcpSegment::Open) + " 0@1005");
    a.kcp->update(1010);
    ASSERT_EQ(0, feed(*a.kcp, b.sent[0]));
    EXPECT_TRUE(a.kcp->isEstablished());
    EXPECT_EQ(1u, a.kcp->sndUna());
    EXPECT_EQ(0, a.kcp->waitSend());
    // A late copy of A's Open changes nothing on B and is not acknowledged.
    b.sent.clear();
    ASSERT_EQ(0, feed(*b.kcp, a.sent[0]));
    EXPECT_EQ(1u, b.kcp->rcvNxt());
    b.kcp->update(1030);
    b.kcp->update(1050);
    EXPECT_TRUE(b.takeSns(KcpSegment::Ack).empty());
    // An empty Push with sn 0 (a relay's resent challenge) is acknowledged, never taken for the end.
    ASSERT_EQ(0, b.input({ segment(KcpSegment::Push, 0, 0xabcdef01u) }));
    b.kcp->flush();
    EXPECT_EQ(describe(b.takeSegments()), std::to_string(KcpSegment::Ack) + " 0@2882400001");
    EXPECT_EQ(-1, b.kcp->peekSize());
    Captured c; // open after data was queued sends no Open
    c.kcp->update(0);
    EXPECT_EQ(0, c.kcp->send("x", 1));
    c.kcp->open();
    c.kcp->flush();
    EXPECT_EQ(describe(c.segments()), std::to_string(KcpSegment::Push) + " 0@0+1");
}

// The 255-fragment limit binds only messages; a queued end-of-stream marker is never extended.
TEST(KcpSend, ResultsAndSegmentsQueuedAndStreamModeFillsTheShortTailFirst)
{
    const int most = 255 * 1336;
    const std::string big(most + 1, 'm');
    struct Case {
        bool stream;
        bool closedFirst;
        int length;
        int result;
        uint32_t queued; // the marker included
    };
    const Case cases[] = { { false, false, most + 1, -2, 0 }, { false, false, most, 0, 255 },
        { true, false, most + 1, 0, 256 }, { true, false, -1, -1, 0 }, { true, false, 0, 0, 0 },
        { true, true, 3, 0, 2 } };
    for (const Case& c : cases) {
        Captured a;
        a.kcp->setStreamMode(c.stream);
        a.establish(0, 0); // the peer's window is closed, so everything stays queued
        if (c.closedFirst)
            a.kcp->close();
        EXPECT_EQ(c.result, a.kcp->send(big.data(), c.length)) << c.length;
        EXPECT_EQ(c.queued, a.kcp->nSndQue()) << c.length;
    }
    // Stream mode fills a short tail before new segments.
    Captured a;
    a.kcp->setNoDelay(1, 20, 2, 1); // no congestion window: everything queued leaves at once
    a.establish(0);
    const uint32_t mss = a.kcp->mss();
    ASSERT_EQ(1336u, mss);
    const std::string data = makePayload(100 + 2000 + 572 + 1, 3);
    EXPECT_EQ(0, a.kcp->send(data.data(), 100));
    EXPECT_EQ(0, a.kcp->send(data.data() + 100, 2000));
    EXPECT_EQ(0, a.kcp->send(data.data() + 2100, 572)); // exactly fills the 764-byte tail
    EXPECT_EQ(0, a.kcp->send(data.data() + 2672, 1));
    a.kcp->flush();
    std::string onWire;
    std::vector<size_t> sizes;
    for (const Wire& s : a.segments()) {
        EXPECT_EQ(0u, s.frg);
        sizes.push_back(s.data.size());
        onWire += s.data;
    }
    EXPECT_EQ((std::vector<size_t> { mss, mss, 1 }), sizes);
    EXPECT_TRUE(onWire == data);
}

struct TransferCase {
    double loss;
    uint32_t seed;
    bool acrossWraps; // the clock and both sequences wrap during the transfer
    bool paced = false; // the relay's profile through a 20 Mbit/s bottleneck
    bool ackRepeat = false;
    double wireBound = 0; // A->B's bytes per byte delivered
    uint32_t shortAnswers = 0; // A->B's, one at a time first, as on a conversation kept for later requests
};

class KcpStreamTransfer : public ::testing::TestWithParam<TransferCase> { };

TEST_P(KcpStreamTransfer, DeliversMegabytesBothWaysInOrderThenEnds)
{
    const TransferCase param = GetParam();
    LinkProfile link { param.loss, 0.02, 15, 20 }; // 2 % duplicated, 15 ms delay, 20 ms jitter: reordering
    if (param.paced) {
        link.rateBytesPerMs = 2500;
        link.queueBytes = 64 << 10;
        link.jitterMs = 0; // a bottleneck sends in order
    }
    KcpPair pair(Conv, link, param.seed, param.acrossWraps ? 0xFFFFFFFFu - 1500 : 0);
    for (StreamSide* side : { &pair.a(), &pair.b() }) {
        if (param.paced) {
            side->kcp->setNoDelay(1, 20, 2, 1);
            side->kcp->setWindowSize(512, 1024);
            side->kcp->setPacing(true);
        }
        side->kcp->setAckRepeat(param.ackRepeat);
    }
    pair.connect();
    if (param.acrossWraps) {
        ASSERT_TRUE(pair.runUntil(
            [&] {
                return pair.a().kcp->isEstablished() && pair.a().kcp->waitSend() == 0
                    && pair.b().kcp->waitSend() == 0 && pair.linkAB().idle() && pair.linkBA().idle();
            },
            10000));
        ASSERT_GT(pair.clock(), 0x80000000u) << "the clock wraps during the transfer, not before";
        const uint32_t base = 0xFFFFFFFFu - 300;
        KcpControlBlockTestAccess::rebaseSend(*pair.a().kcp, base);
        KcpControlBlockTestAccess::rebaseReceive(*pair.b().kcp, base);
        KcpControlBlockTestAccess::rebaseSend(*pair.b().kcp, base - 50);
        KcpControlBlockTestAccess::rebaseReceive(*pair.a().kcp, base - 50);
    }
    for (uint32_t i = 1; i <= param.shortAnswers; ++i) {
        pair.a().toSend.append(300, 's');
        ASSERT_TRUE(pair.runUntil([&] { return pair.b().received.size() == 300 * i; }, 5000, 2));
    }
    const uint64_t start = pair.elapsed();
    const std::string up = pair.a().toSend + makePayload(3 << 20, param.seed);
    const std::string down = makePayload(1 << 20, param.seed + 1);
    pair.a().toSend = up;
    pair.a().closeWhenSent = true;
    pair.b().toSend = down;
    pair.b().closeWhenSent = true;
    const bool done = pair.runUntil([&] { return pair.a().peerEnded && pair.b().peerEnded; }, 600000, 2);
    ASSERT_TRUE(done) << "A got " << pair.a().received.size() << ", B got " << pair.b().received.size();
    EXPECT_TRUE(pair.b().received == up);
    EXPECT_TRUE(pair.a().received == down);
    for (SimulatedLink* l : { &pair.linkAB(), &pair.linkBA() }) {
        EXPECT_LE(l->largest, 1360);
        EXPECT_GT(l->multiSegment, 0u);
    }
    EXPECT_TRUE(param.loss == 0 || pair.a().kcp->xmit() > 0) << "nothing was resent";
    if (param.paced) {
        for (SimulatedLink* l : { &pair.linkAB(), &pair.linkBA() })
            EXPECT_LE(l->largestBurst, 32u * 1360);
        EXPECT_LT(pair.elapsed() - start, 2000u) << "3 MiB at the link's rate take 1.3 s";
    }
    if (param.wireBound > 0) {
        EXPECT_LE(static_cast<double>(pair.linkAB().sentBytes) / up.size(), param.wireBound);
    }
    if (param.acrossWraps) {
        EXPECT_LT(pair.clock(), 0x80000000u) << "the clock did wrap";
        EXPECT_LT(pair.a().kcp->rxSrtt(), 1000);
    }
}

INSTANTIATE_TEST_SUITE_P(Loss, KcpStreamTransfer,
    ::testing::Values(TransferCase { 0.0, 1, false }, TransferCase { 0.1, 2, true },
        TransferCase { 0.3, 3, false }, TransferCase { 0.05, 4, false, true },
        TransferCase { 0.1, 5, true, true, true, 1.25 }, TransferCase { 0.05, 6, false, true, false, 0, 8 }));

TEST(KcpInput, EndMarkerIsReachedOnlyAfterEarlierDataHidesLaterDataAndMalformedDatagramsKeepWhatPreceded)
{
    Captured b;
    b.establish(0);
    ASSERT_EQ(0, b.input({ push(2, "") }));
    EXPECT_EQ(-1, b.kcp->peekSize());
    ASSERT_EQ(0, b.input({ push(1, "data") }));
    EXPECT_EQ(4, b.kcp->peekSize());
    EXPECT_FALSE(b.kcp->isPeerClosedOnly());
    char buffer[8];
    EXPECT_EQ(4, b.kcp->recv(buffer, sizeof buffer));
    EXPECT_EQ(0, b.kcp->peekSize());
    EXPECT_TRUE(b.kcp->isPeerClosedOnly());
    // A Push behind the marker is acknowledged but never read.
    ASSERT_EQ(0, b.input({ push(3, "late") }));
    EXPECT_EQ(4u, b.kcp->rcvNxt());
    EXPECT_EQ(0, b.kcp->peekSize());
    EXPECT_EQ(0, b.kcp->recv(buffer, sizeof buffer));
    b.kcp->flush();
    EXPECT_EQ((std::vector<uint32_t> { 2, 1, 3 }), b.takeSns(KcpSegment::Ack));
    b.kcp->close();
    EXPECT_FALSE(b.kcp->isPeerClosedOnly());
    // Malformed datagrams keep the segments before the fault.
    Captured c;
    c.establish(0);
    EXPECT_EQ(-1, c.kcp->input(nullptr, 100));
    EXPECT_EQ(-1, feed(*c.kcp, std::string(23, '\0')));
    Wire foreign = push(9, "zz"), truncated = push(9, "zz"), unknown = push(9, "zz");
    foreign.conv = Conv + 1;
    truncated.lenOverride = 100;
    unknown.cmd = 99;
    EXPECT_EQ(-1, c.input({ push(1, "one"), foreign }));
    EXPECT_EQ(-2, c.input({ push(2, "two"), truncated }));
    EXPECT_EQ(-3, c.input({ push(3, "three"), unknown }));
    EXPECT_EQ(4u, c.kcp->rcvNxt());
    std::string got;
    int n;
    while ((n = c.kcp->recv(buffer, sizeof buffer)) > 0)
        got.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ("onetwothree", got);
    c.kcp->flush();
    EXPECT_EQ((std::vector<uint32_t> { 1, 2, 3 }), c.takeSns(KcpSegment::Ack));
}

TEST(KcpAck, TimestampIsEchoedSoRttNeedsNoClockAgreement)
{
    Captured a, b;
    a.establish(5000);
    b.establish(0x90000000u); // B's clock is nowhere near A's
    a.kcp->send("ping", 4);
    a.kcp->flush();
    ASSERT_EQ(0, feed(*b.kcp, a.sent.back()));
    b.kcp->flush();
    EXPECT_EQ(describe(b.segments()), std::to_string(KcpSegment::Ack) + " 0@5000");
    a.kcp->update(5137);
    ASSERT_EQ(0, feed(*a.kcp, b.sent[0]));
    EXPECT_EQ(137, a.kcp->rxSrtt());
    EXPECT_EQ(0, a.kcp->waitSend());
    // An acknowledgement stamped in the future gives no sample.
    Wire forged = segment(KcpSegment::Ack, 0, 9000);
    forged.una = 1;
    ASSERT_EQ(0, a.input({ forged }));
    EXPECT_EQ(137, a.kcp->rxSrtt());
}

TEST(KcpRetransmit, TwoLaterAcksResendBeforeTimeOut)
{
    Captured a;
    a.kcp->setNoDelay(1, 20, 2, 1);
    a.establish(0);
    const std::string data(6 * a.kcp->mss(), 'd');
    a.kcp->send(data.data(), static_cast<int>(data.size()));
    a.kcp->update(20);
    ASSERT_EQ(6u, a.kcp->nSndBuf());
    a.sent.clear();
    const Wire ack1 = segment(KcpSegment::Ack, 1, 20), ack4 = segment(KcpSegment::Ack, 4, 20);
    // A datagram counts once, against its greatest ack: 0, 2 and 3 were passed over, 5 was not.
    ASSERT_EQ(0, a.input({ ack1, ack4 }));
    a.kcp->update(40);
    EXPECT_TRUE(a.sent.empty()); // once is not enough
    ASSERT_EQ(0, a.input({ ack4 }));
    a.kcp->update(60); // far below the 200 ms time-out
    EXPECT_EQ((std::vector<uint32_t> { 0, 2, 3 }), a.takeSns(KcpSegment::Push));
    // Acks of segments sent before that resend say nothing about the resent copies.
    ASSERT_EQ(0, a.input({ ack4 }));
    ASSERT_EQ(0, a.input({ ack4 }));
    a.kcp->update(80); // the next flush
    EXPECT_TRUE(a.takeSegments().empty());
    // Left alone, sn 5 is resent on time-out (first sent at 20), backing off by half an rto each time.
    std::vector<uint32_t> timeouts;
    for (uint32_t t = 100; t <= 1200; t += 20) {
        a.kcp->update(t);
        for (uint32_t sn : a.takeSns(KcpSegment::Push))
            if (sn == 5)
                timeouts.push_back(t);
    }
    EXPECT_EQ(76, a.kcp->rxRto());
    ASSERT_GE(timeouts.size(), 3u);
    EXPECT_EQ((std::vector<uint32_t> { 220, 460, 740 }),
        std::vector<uint32_t>(timeouts.begin(), timeouts.begin() + 3));
}

TEST(KcpWindow, ClosedRemoteWindowIsProbedOnAGrowingScheduleAndAReaderThatCatchesUpTellsAtOnce)
{
    Captured a;
    a.kcp->setNoDelay(1, 10, 2, 0);
    const uint32_t start = 100000;
    a.establish(start, 0);
    a.kcp->send("x", 1);
    a.kcp->flush(); // sees the closed window: the first ask is due 7000 ms from now
    std::vector<uint32_t> asks;
    uint32_t t = start;
    for (; t < start + 700000; t += 5) {
        a.kcp->update(t);
        for (const Wire& s : a.takeSegments()) {
            EXPECT_NE(KcpSegment::Push, s.cmd); // nothing is sent into a closed window
            if (s.cmd == KcpSegment::WindowAsk)
                asks.push_back(t);
        }
    }
    const std::vector<uint32_t> waits
        = { 7000, 10500, 15750, 23625, 35437, 53155, 79732, 119598, 120000, 120000 };
    ASSERT_GE(asks.size(), waits.size());
    uint32_t previous = start;
    for (size_t i = 0; i < waits.size(); ++i) {
        const uint32_t gap = asks[i] - previous;
        EXPECT_GE(gap, waits[i]) << "ask " << i;
        EXPECT_LT(gap, waits[i] + 10) << "ask " << i;
        previous = asks[i];
    }
    // The peer's answer reopens the window: the data goes and asking stops.
    Wire tell = segment(KcpSegment::WindowTell);
    tell.wnd = 8;
    ASSERT_EQ(0, a.input({ tell }));
    bool pushed = false;
    for (uint32_t end = t + 200000; t < end; t += 5) {
        a.kcp->update(t);
        for (const Wire& s : a.takeSegments()) {
            EXPECT_NE(KcpSegment::WindowAsk, s.cmd);
            pushed |= s.cmd == KcpSegment::Push;
        }
    }
    EXPECT_TRUE(pushed);
    KcpPair pair(Conv, LinkProfile { 0, 0, 10 }, 5); // 10 ms each way
    pair.b().kcp->setWindowSize(1204, 16);
    const std::string payload = makePayload(100000, 5);
    pair.a().toSend = payload;
    pair.b().reading = false;
    pair.connect();
    ASSERT_TRUE(pair.runUntil([&] { return pair.a().kcp->rmtWnd() == 0; }, 5000));
    pair.runUntil([] { return false; }, 8000); // long enough for one window ask
    EXPECT_EQ(16u, pair.b().kcp->nRcvQue());
    // Reading frees the window; B's WindowTell reopens it within one flush and one trip.
    pair.b().reading = true;
    EXPECT_TRUE(pair.runUntil([&] { return pair.a().kcp->rmtWnd() > 0; }, 35));
    ASSERT_TRUE(pair.runUntil([&] { return pair.b().received.size() == payload.size(); }, 60000));
    EXPECT_TRUE(pair.b().received == payload);
}

TEST(KcpClock, JumpOfTenSecondsEitherWayRestartsTheFlushSchedule)
{
    Captured a;
    a.kcp->setNoDelay(1, 20, 2, 1);
    a.establish(50000);
    for (uint32_t t = 50000; t <= 51000; t += 10)
        a.kcp->update(t);
    // Next flush due at 51020; a step of 10 s either way flushes at once and schedules from there.
    const std::pair<uint32_t, bool> steps[]
        = { { 46000, false }, { 51019, false }, { 51020, true }, { 41020, true }, { 41039, false },
              { 41040, true }, { 51040, true }, { 51059, false }, { 51060, true } };
    for (const auto& [t, sends] : steps) {
        a.kcp->send("x", 1);
        a.sent.clear();
        a.kcp->update(t);
        EXPECT_EQ(sends, !a.sent.empty()) << t;
    }
}

} // namespace
