// Forged datagrams meet an engine whose queues a real peer keeps busy. Input: a 4-byte start
// clock (the wrap is in reach), a flags byte, then one-byte operations (see the switch).
#include "base/ByteOrder.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/support/KcpSimulatedNetwork.h"

#include <cstring>
#include <deque>

namespace {

using Queue = std::deque<std::vector<uint8_t>>;

KcpControlBlockPtr makeEngine(Queue& to)
{
    KcpControlBlockPtr kcp = KcpControlBlock::create(0x01020304, nullptr);
    applyProxySettings(*kcp);
    kcp->setStreamMode(true);
    kcp->setOutput([&to](const uint8_t* data, int length, KcpControlBlock* self, void*) {
        // Packing never passes mtu; only a lone segment queued under a larger mtu may be bigger.
        require(length >= 24
            && (static_cast<uint32_t>(length) <= self->mtu()
                || readLe32(data + 20) + 24 == uint32_t(length)));
        if (to.size() < 256)
            to.emplace_back(data, data + length);
    });
    return kcp;
}

// Mode bit 1: peek first; bit 2: a buffer one byte short is refused first.
void readAll(KcpControlBlock& kcp, uint8_t mode)
{
    std::vector<uint8_t> buffer;
    int size;
    for (int i = 0; i < 64 && (size = kcp.peekSize()) > 0; ++i) {
        buffer.resize(static_cast<size_t>(size));
        require(!(mode & 1) || kcp.recv(buffer.data(), -size) == size);
        require(!(mode & 2) || size == 1 || kcp.recv(buffer.data(), size - 1) == -3);
        require(kcp.recv(buffer.data(), size) == size);
    }
}

void deliver(KcpControlBlock& kcp, Queue& from)
{
    const bool wasEstablished = kcp.isEstablished();
    for (; !from.empty(); from.pop_front())
        kcp.input(from.front().data(), static_cast<long>(from.front().size()));
    if (!wasEstablished && kcp.isEstablished())
        kcp.open();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t at = 0;
    auto byte = [&]() -> int { return at < size ? data[at++] : 0; };
    auto u16 = [&] {
        const int low = byte();
        return low | byte() << 8;
    };
    Queue toTarget, toPeer;
    KcpControlBlockPtr target = makeEngine(toPeer), peer = makeEngine(toTarget);
    uint32_t now = u16();
    now |= u16() << 16;
    const int flags = byte();
    target->setStreamMode((flags & 1) == 0);
    if (flags & 2)
        target->setNoDelay(0, 100, 0, 1);
    target->update(now);
    peer->update(now);
    (flags & 4 ? target : peer)->open();

    while (at < size) {
        const int op = byte();
        switch (op & 7) {
        case 0:
        case 1: { // a forged datagram; with op 1 its first conv matches
            const size_t n = std::min<size_t>(u16() % 1500, size - at);
            std::vector<uint8_t> datagram(data + at, data + at + n);
            at += n;
            if ((op & 7) == 1 && n >= 4)
                std::memcpy(datagram.data(), "\x04\x03\x02\x01", 4);
            const int result = target->input(datagram.data(), static_cast<long>(n));
            require(result >= -3 && result <= 0);
            break;
        }
        case 2:
            now += u16();
            target->update(now);
            peer->update(now);
            break;
        case 3:
            deliver(*target, toTarget);
            deliver(*peer, toPeer);
            readAll(*peer, 0);
            break;
        case 4: {
            const std::vector<uint8_t> payload(u16() % 8192, static_cast<uint8_t>(op));
            const int result
                = (op & 8 ? peer : target)->send(payload.data(), static_cast<int>(payload.size()));
            require(result == 0 || result == -2);
            break;
        }
        case 5: readAll(*target, op >> 3); break;
        case 6:
            if (op & 8)
                target->close();
            else if (op & 16)
                peer->close();
            else
                op & 32 ? target->open() : target->flush();
            break;
        case 7: {
            const int arg = byte();
            if (op & 8)
                target->setMtu(50 + arg * 6);
            else if (op & 16)
                target->setWindowSize(arg, arg / 2);
            else
                target->setNoDelay(arg & 1, arg, arg >> 5, (arg >> 4) & 1);
            break;
        }
        }
        require(target->waitSend() == static_cast<int>(target->nSndBuf() + target->nSndQue()));
    }
    return 0;
}
