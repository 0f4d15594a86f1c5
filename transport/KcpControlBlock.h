#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <utility>
#include <vector>

// One segment of a KCP conversation. On the wire (little-endian):
//
//   0        4     5     6       8        12       16       20       24
//   +--------+-----+-----+-------+--------+--------+--------+--------+------...
//   | conv   | cmd | frg | wnd   | ts     | sn     | una    | len    | data
//   +--------+-----+-----+-------+--------+--------+--------+--------+------...
//
// Several segments are packed back to back into one datagram of at most mtu
// bytes. In memory every field is 32 bits; cmd and frg travel as their low
// byte and wnd as its low 16 bits.
struct KcpSegment {
    enum Command : uint32_t {
        Open = 80, // opens the conversation; takes the sender's sequence number 0
        Push = 81, // data; zero length marks the end of the sender's stream
        Ack = 82, // acknowledges one sequence number
        WindowAsk = 83, // asks the peer to report its window
        WindowTell = 84, // reports the window in wnd
    };
    static constexpr uint32_t Overhead = 24;
    // In an Open's frg (otherwise 0): opened ahead of its request, so the
    // peer reaches no upstream until the stream starts (its first byte or
    // a WindowAsk). The engine ignores an Open's frg.
    static constexpr uint32_t OpenHold = 1;

    uint32_t conv = 0;
    uint32_t cmd = 0;
    uint32_t frg = 0;
    uint32_t wnd = 0;
    uint32_t ts = 0;
    uint32_t sn = 0;
    uint32_t una = 0;
    uint32_t resendTs = 0; // when the next retransmission is due
    uint32_t rto = 0; // this segment's retransmission time-out
    uint32_t fastAck = 0; // times a later sequence number was acknowledged first
    uint32_t xmit = 0; // transmissions so far
    // Delivery state when last sent, for the paced sender's rate samples.
    uint64_t deliveredAtSend = 0;
    uint32_t deliveredTimeAtSend = 0;
    uint32_t firstSentAtSend = 0;
    bool limitedAtSend = false; // sent while something other than the pacer held sending back
    bool idleAtSend = false; // sent while the sender had nothing more to send
    std::vector<uint8_t> data;

    uint32_t len() const { return static_cast<uint32_t>(data.size()); }
};

// The KCP protocol engine for one conversation: turns an unreliable datagram
// channel into a reliable, ordered byte stream (or message stream), with an
// Open handshake, an end-of-stream marker and state bits on top of the
// classic push/ack/window-probe protocol.
//
// The engine does no I/O and reads no clock. Its owner feeds every received
// datagram to input(), calls update() with a wrapping millisecond clock, and
// supplies an output function that sends one datagram. Sequence numbers and
// times are unsigned 32-bit values compared by their signed difference, so
// wrap-around is harmless.
//
// Not copyable; one thread at a time. Allocation failures never throw out of
// the engine: send reports -2, other paths drop what they could not store.
class KcpControlBlock {
public:
    enum State : uint32_t {
        Established = 1, // the peer's Open was accepted; cleared by close
        PeerClosed = 2, // the reader reached the peer's end-of-stream marker
        LocalClosed = 4, // our marker is queued
        Broken = 8, // the owner saw the socket fail
    };

    // Bits of the log mask; each names the lines it lets through.
    enum LogMask : uint32_t {
        LogOutput = 1, // "[RO] n bytes" per datagram sent
        LogInput = 2, // "[RI] n bytes" per datagram received
        LogRecv = 8, // "recv sn=" per segment handed to the reader
        LogInData = 16, // "input psh: sn= ts="
        LogInAck = 32, // "input ack: sn= rtt= rto="
        LogInProbe = 64, // "input probe"
        LogInWindow = 128, // "input wins:"
    };

    using OutputFunction
        = std::function<void(const uint8_t* data, int length, KcpControlBlock* kcp, void* user)>;
    using LogWriter = std::function<void(const char* line)>;

    // Null only when memory is short.
    static std::unique_ptr<KcpControlBlock> create(uint32_t conv, void* user);
    ~KcpControlBlock();
    KcpControlBlock(const KcpControlBlock&) = delete;
    KcpControlBlock& operator=(const KcpControlBlock&) = delete;

    // Settings.
    int setMtu(int mtu); // 0; -1 below 50; -2 when the flush buffer cannot be had
    int setNoDelay(int nodelay, int interval, int resend, int nc);
    int setWindowSize(int sndWnd, int rcvWnd);
    void setStreamMode(bool on) { m_stream = on ? 1 : 0; }
    // Paced sending (off by default): segments leave at a measured delivery
    // rate instead of in window bursts, and loss no longer shrinks what may
    // be in flight. The model is the bottleneck rate (highest delivery rate
    // over the last ten round trips) and the lowest round trip of the last
    // ten seconds; in flight stays near twice their product. Nothing
    // changes on the wire, so the peer needs nothing new. While paced data
    // waits, the owner must call update() again after paceWait().
    void setPacing(bool on) { m_pacing = on; }
    // Off by default: each acknowledgement of a segment received out of
    // order goes out a second time in the next flush. On a lossy link a
    // lost ack datagram otherwise makes the sender resend every segment it
    // named, since the cumulative una stays behind the hole.
    void setAckRepeat(bool on) { m_ackRepeat = on; }
    void setOutput(OutputFunction output) { m_output = std::move(output); }
    void setLogWriter(LogWriter writer, uint32_t mask);

    // Queues data: 0; -1 for a negative length; -2 when out of memory or, in
    // message mode, when it would take more than 255 fragments. Nothing is
    // queued when -2 is returned.
    int send(const void* data, int length);
    // Size of the next message; 0 once the peer's end-of-stream marker is at
    // the head (and for ever after); -1 when nothing complete is waiting.
    int peekSize();
    // Bytes copied; -1 nothing queued; -2 incomplete; -3 buffer too small.
    // A negative length copies without removing. Returns 0 without removing
    // anything once the end-of-stream marker is reached.
    int recv(void* buffer, int length);
    // 0; -1 null, shorter than a header or foreign conv; -2 truncated data;
    // -3 unknown command. Segments before a bad one stay applied. A Push
    // longer than mss is skipped: neither stored nor acknowledged.
    int input(const void* data, long size);

    void update(uint32_t now);
    void flush();
    // Milliseconds (1..interval) until the pacer lets the next waiting
    // segment go; -1 when nothing waits for it.
    int32_t paceWait() const;

    void open();
    void close();
    void markBroken() { m_state |= Broken; }

    int waitSend() const { return static_cast<int>(m_sndBuf.size() + m_sndQueue.size()); }
    int32_t sendRoom() const;
    bool isEstablished() const { return (m_state & Established) != 0; }
    bool isPeerClosedOnly() const { return (m_state & (PeerClosed | LocalClosed)) == PeerClosed; }

    // Read-only view of the control block, for the owner and for tests.
    uint32_t conv() const { return m_conv; }
    uint32_t mtu() const { return m_mtu; }
    uint32_t mss() const { return m_mss; }
    uint32_t state() const { return m_state; }
    uint32_t sndUna() const { return m_sndUna; }
    uint32_t sndNxt() const { return m_sndNxt; }
    uint32_t rcvNxt() const { return m_rcvNxt; }
    uint32_t ssthresh() const { return m_ssthresh; }
    int32_t rxRttVal() const { return m_rxRttVal; }
    int32_t rxSrtt() const { return m_rxSrtt; }
    int32_t rxRto() const { return m_rxRto; }
    int32_t rxMinRto() const { return m_rxMinRto; }
    uint32_t sndWnd() const { return m_sndWnd; }
    uint32_t rcvWnd() const { return m_rcvWnd; }
    uint32_t rmtWnd() const { return m_rmtWnd; }
    uint32_t cwnd() const { return m_cwnd; }
    uint32_t current() const { return m_current; }
    uint32_t interval() const { return m_interval; }
    uint32_t tsFlush() const { return m_tsFlush; }
    uint32_t xmit() const { return m_xmit; }
    uint32_t nRcvBuf() const { return static_cast<uint32_t>(m_rcvBuf.size()); }
    uint32_t nSndBuf() const { return static_cast<uint32_t>(m_sndBuf.size()); }
    uint32_t nRcvQue() const { return static_cast<uint32_t>(m_rcvQueue.size()); }
    uint32_t nSndQue() const { return static_cast<uint32_t>(m_sndQueue.size()); }
    uint32_t noDelay() const { return m_noDelay; }
    uint32_t tsProbe() const { return m_tsProbe; }
    uint32_t probeWait() const { return m_probeWait; }
    uint32_t fastResend() const { return m_fastResend; }
    uint32_t noCwnd() const { return m_noCwnd; }
    bool stream() const { return m_stream != 0; }
    bool pacing() const { return m_pacing; }
    bool ackRepeat() const { return m_ackRepeat; }
    double pacingRate() const; // bytes per ms, the pacing gain included
    double bottleneckRate() const { return m_btlBw; } // bytes per ms; 0 before the first sample
    uint32_t minRtt() const { return m_minRtt; } // ms; 0 before the first sample
    double lossShare() const { return m_lossRate; } // of transmissions, as the pacer reckons it
    void* user() const { return m_user; }

private:
    // Tests move sequence numbers next to the 32-bit wrap through this.
    friend struct KcpControlBlockTestAccess;

    using SegmentList = std::list<KcpSegment>;

    KcpControlBlock(uint32_t conv, void* user);

    KcpSegment makeSegment(uint32_t cmd, const uint8_t* data, uint32_t length) const;
    void shrinkBuf();
    void parseUna(uint32_t una);
    bool parseAck(uint32_t sn); // true when it took a segment off sndBuf
    void parseFastAck(uint32_t sn, uint32_t ts);
    void updateAck(int32_t rtt);
    void pushAck(uint32_t sn, uint32_t ts);
    bool storeReceived(const KcpSegment& header, const uint8_t* data, uint32_t len);
    void moveReadyToQueue();
    uint32_t freeWindow() const;

    // Paced sending.
    enum class PaceMode { Startup, Drain, ProbeBandwidth };
    void sendPaced(uint32_t free);
    void transmitPaced(KcpSegment& seg, uint32_t free);
    void noteDelivered(const KcpSegment& seg);
    void updatePaceModel();
    void refillPaceBudget();
    uint32_t paceCap() const;
    void nextCycle();
    // Round trip above the lowest that still counts as an empty queue.
    uint32_t queueSlack() const { return std::max<uint32_t>(m_minRtt / 8, 4); }
    double paceBdp() const;
    uint32_t paceSegmentBytes() const { return m_mss + KcpSegment::Overhead; }

    // Datagram assembly in the flush buffer.
    uint8_t* reserveInDatagram(uint32_t need);
    void appendHeader(const KcpSegment& seg, uint32_t len);
    void emitDatagram();

    bool canLog(uint32_t bit) const { return (m_logMask & bit) != 0 && m_log; }
    void log(uint32_t bit, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    uint32_t m_conv;
    uint32_t m_mtu = 1400;
    uint32_t m_mss = 1400 - KcpSegment::Overhead;
    uint32_t m_state = 0;
    uint32_t m_sndUna = 0;
    uint32_t m_sndNxt = 0;
    uint32_t m_rcvNxt = 0;
    uint32_t m_ssthresh = 2;
    int32_t m_rxRttVal = 0;
    int32_t m_rxSrtt = 0;
    int32_t m_rxRto = 200;
    int32_t m_rxMinRto = 100;
    uint32_t m_sndWnd = 32;
    uint32_t m_rcvWnd = 32;
    uint32_t m_rmtWnd = 32;
    uint32_t m_cwnd = 0;
    uint32_t m_probe = 0;
    uint32_t m_current = 0;
    uint32_t m_interval = 100;
    uint32_t m_tsFlush = 100;
    uint32_t m_xmit = 0;
    uint32_t m_noDelay = 0;
    uint32_t m_updated = 0;
    uint32_t m_tsProbe = 0;
    uint32_t m_probeWait = 0;
    uint32_t m_incr = 0;
    uint32_t m_fastResend = 0;
    uint32_t m_noCwnd = 0;
    uint32_t m_stream = 0;

    bool m_pacing = false;
    PaceMode m_paceMode = PaceMode::Startup;
    uint64_t m_delivered = 0; // bytes acknowledged so far
    uint32_t m_deliveredTime = 0; // when m_delivered last grew
    uint32_t m_firstSentTime = 0; // send time of the segment last acknowledged
    // The newest segment acknowledged by the input() call in progress.
    bool m_haveSample = false;
    uint64_t m_samplePrior = 0;
    int32_t m_sampleInterval = 0;
    uint32_t m_sampleFirstSent = 0;
    uint32_t m_sampleStart = 0; // m_deliveredTime when the sampled segment was sent
    // m_delivered after the credits of each of the last few ms that had any.
    struct CreditStep {
        uint32_t time = 0;
        uint64_t delivered = 0;
    };
    static constexpr uint32_t CreditSteps = 16;
    CreditStep m_creditSteps[CreditSteps] = {};
    uint32_t m_creditNext = 0;
    // Acks that came after those of later segments; a sample leaves out
    // those sent before its own start, as they reached the peer before it.
    struct LateCredit {
        uint64_t deliveredAfter = 0; // m_delivered with it counted
        uint32_t sentTs = 0;
        uint32_t bytes = 0;
    };
    static constexpr uint32_t LateCredits = 32;
    LateCredit m_lateCredits[LateCredits] = {};
    uint32_t m_lateNext = 0;
    uint32_t m_newestDelivered = 0; // latest send time among the segments acknowledged
    bool m_sampleLimited = false;
    bool m_sampleIdle = false;
    uint64_t m_idleUntil = 0; // like m_limitedUntil, for segments sent with nothing more queued
    // Nonzero while segments sent under a limit other than the pacer (no
    // data, the windows, the in-flight cap) are out: until m_delivered
    // passes it, samples tell less than the link can do.
    uint64_t m_limitedUntil = 0;
    double m_btlBw = 0; // bytes per ms
    double m_roundMaxBw[10] = {}; // highest sample of each of the last ten rounds
    uint64_t m_round = 0;
    uint64_t m_nextRoundDelivered = 0;
    uint32_t m_roundSent = 0; // transmissions in this round
    uint32_t m_roundResent = 0; // of which repeats
    uint32_t m_roundMinRtt = 0; // lowest round trip sampled in this round; 0 = none yet
    double m_lossRate = 0; // share of transmissions that were repeats, smoothed
    uint32_t m_minRtt = 0;
    uint32_t m_minRttStamp = 0;
    double m_fullBw = 0;
    uint32_t m_fullBwRounds = 0;
    uint32_t m_cycleIndex = 0;
    uint32_t m_cycleStamp = 0;
    bool m_queueEmptySeen = false; // a round trip near the lowest since the phase began
    double m_paceBudget = 0; // bytes the pacer may still send now; negative is a debt
    uint32_t m_paceStamp = 0;
    bool m_paceBlocked = false; // the last flush left segments for the pacer

    SegmentList m_sndQueue; // not yet sent
    SegmentList m_sndBuf; // sent, not yet acknowledged
    SegmentList m_rcvBuf; // received out of order
    SegmentList m_rcvQueue; // in order, waiting for the reader
    std::vector<std::pair<uint32_t, uint32_t>> m_ackList; // (sn, ts) to acknowledge at the next flush
    bool m_ackRepeat = false;
    std::vector<std::pair<uint32_t, uint32_t>> m_ackAgain; // out-of-order ones of the last flush, sent again

    void* m_user;
    std::vector<uint8_t> m_buffer; // 3 x (mtu + overhead), reused for every datagram
    uint32_t m_bufferUsed = 0;
    OutputFunction m_output;
    LogWriter m_log;
    uint32_t m_logMask = 0;
};

using KcpControlBlockPtr = std::unique_ptr<KcpControlBlock>;
