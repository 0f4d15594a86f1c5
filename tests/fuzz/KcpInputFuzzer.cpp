// Drives one KCP engine with arbitrary datagrams between update calls, while
// a well-behaved peer keeps a real conversation going beside them, so that
// forged segments meet queues that hold data, acknowledgements and probes.
//
// Input layout: 4 bytes start clock (little-endian, so the clock wrap is in
// reach), 1 byte of flags, then operations of one byte each followed by
// their arguments (see the switch below).
#include "base/ByteOrder.h"
#include "transport/KcpControlBlock.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

constexpr uint32_t Conv = 0x01020304;
constexpr size_t QueueLimit = 256;

class Reader {
public:
    Reader(const uint8_t* data, size_t size)
        : m_data(data)
        , m_size(size)
    {
    }
    bool empty() const { return m_at >= m_size; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint32_t u16() { return byte() | (static_cast<uint32_t>(byte()) << 8); }
    uint32_t u32() { return u16() | (u16() << 16); }
    // Up to n bytes of the input itself.
    std::vector<uint8_t> bytes(size_t n)
    {
        n = std::min(n, m_size - std::min(m_at, m_size));
        m_at += n;
        return std::vector<uint8_t>(m_data + m_at - n, m_data + m_at);
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

using Queue = std::deque<std::vector<uint8_t>>;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

KcpControlBlockPtr makeEngine(Queue& to)
{
    KcpControlBlockPtr kcp = KcpControlBlock::create(Conv, nullptr);
    kcp->setMtu(1360);
    kcp->setNoDelay(1, 20, 2, 0);
    kcp->setWindowSize(1204, 1024);
    kcp->setStreamMode(true);
    kcp->setOutput([&to](const uint8_t* data, int length, KcpControlBlock* self, void*) {
        // Packing never passes mtu; only a lone segment queued under a larger mtu may be bigger.
        check(length >= 24
            && (static_cast<uint32_t>(length) <= self->mtu()
                || readLe32(data + 20) + 24 == uint32_t(length)));
        if (to.size() < QueueLimit)
            to.emplace_back(data, data + length);
    });
    return kcp;
}

void readAll(KcpControlBlock& kcp, uint8_t mode)
{
    std::vector<uint8_t> buffer;
    for (int i = 0; i < 64; ++i) {
        const int size = kcp.peekSize();
        if (size <= 0)
            return;
        buffer.resize(static_cast<size_t>(size));
        if (mode & 1)
            check(kcp.recv(buffer.data(), -size) == size); // peeking leaves it in place
        if (mode & 2 && size > 1)
            check(kcp.recv(buffer.data(), size - 1) == -3);
        check(kcp.recv(buffer.data(), size) == size);
    }
}

void deliver(KcpControlBlock& kcp, Queue& from)
{
    const bool wasEstablished = kcp.isEstablished();
    while (!from.empty()) {
        kcp.input(from.front().data(), static_cast<long>(from.front().size()));
        from.pop_front();
    }
    if (!wasEstablished && kcp.isEstablished())
        kcp.open();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in(data, size);
    Queue toTarget, toPeer;
    KcpControlBlockPtr target = makeEngine(toPeer);
    KcpControlBlockPtr peer = makeEngine(toTarget);

    uint32_t now = in.u32();
    const uint8_t flags = in.byte();
    target->setStreamMode((flags & 1) == 0);
    if (flags & 2)
        target->setNoDelay(0, 100, 0, 1);
    target->update(now);
    peer->update(now);
    if (flags & 4)
        target->open();
    else
        peer->open();

    while (!in.empty()) {
        const uint8_t op = in.byte();
        switch (op & 7) {
        case 0:
        case 1: {
            // A forged datagram; with op 1 its first conv is made to match.
            std::vector<uint8_t> datagram = in.bytes(in.u16() % 1500);
            if ((op & 7) == 1 && datagram.size() >= 4)
                std::memcpy(datagram.data(), "\x04\x03\x02\x01", 4);
            const int result = target->input(datagram.data(), static_cast<long>(datagram.size()));
            check(result >= -3 && result <= 0);
            break;
        }
        case 2:
            now += in.u16();
            target->update(now);
            peer->update(now);
            break;
        case 3:
            deliver(*target, toTarget);
            deliver(*peer, toPeer);
            readAll(*peer, 0);
            break;
        case 4: {
            const uint32_t length = in.u16() % 8192;
            std::vector<uint8_t> payload(length, static_cast<uint8_t>(op));
            const int result
                = ((op >> 3) & 1 ? peer : target)->send(payload.data(), static_cast<int>(length));
            check(result == 0 || result == -2);
            break;
        }
        case 5: readAll(*target, op >> 3); break;
        case 6:
            if (op & 8)
                target->close();
            else if (op & 16)
                peer->close();
            else if (op & 32)
                target->open();
            else
                target->flush();
            break;
        case 7: {
            const uint8_t arg = in.byte();
            if (op & 8)
                target->setMtu(50 + arg * 6);
            else if (op & 16)
                target->setWindowSize(arg, arg / 2);
            else
                target->setNoDelay(arg & 1, arg, arg >> 5, (arg >> 4) & 1);
            break;
        }
        }
        check(target->waitSend() == static_cast<int>(target->nSndBuf() + target->nSndQue()));
    }
    return 0;
}
