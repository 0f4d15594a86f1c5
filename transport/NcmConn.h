#pragma once
#include "base/EventPtr.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct IpStackFacts;

// A byte-stream connection with one owner. The owner asks for one Read or
// one Write notification at a time (requestRead/requestWrite), moves bytes
// between the input/output buffers itself and asks again.
//
// Events: Connect (error 0 or ETIMEDOUT/socket error, size 0); Read (error 0
// and size > 0 is data, anything else ends reading); Write (bytes handed to
// the transport since the last Write, with the error of a failed write).
//
// The owner may close() the connection from inside its callback, but
// deletes it only outside (for example in a later loop turn).
class NcmConn {
public:
    enum Event : int32_t { Connect = 1, Read = 2, Write = 3 };
    using EventCallback = std::function<void(NcmConn*, Event, int32_t error, uint32_t size)>;

    static constexpr int OutputHighWater = 20480;

    explicit NcmConn(event_base* base);
    virtual ~NcmConn();
    NcmConn(const NcmConn&) = delete;
    NcmConn& operator=(const NcmConn&) = delete;

    // address: numeric IPv4 address ":" port. The outcome arrives as one
    // Connect event, never from inside this call.
    virtual void connect(const IpStackFacts* ipStack, const std::string& address, int timeoutSeconds) = 0;
    virtual void requestRead() = 0;
    virtual void requestWrite() = 0;
    // Like requestWrite, but the Write event is owed only once the output
    // buffer is empty (or a write failed): for flushing before the end.
    virtual void requestDrain() = 0;

    void setEventCallback(EventCallback callback) { m_callback = std::move(callback); }
    void close();
    bool isClosed() const { return m_closed; }

    evbuffer* input() const { return m_input.get(); }
    evbuffer* output() const { return m_output.get(); }
    size_t inputLength() const { return evbuffer_get_length(m_input.get()); }
    size_t outputLength() const { return evbuffer_get_length(m_output.get()); }
    int outputSpace() const { return OutputHighWater - static_cast<int>(outputLength()); }
    bool isOutputDrained() const { return !m_closed && outputLength() == 0; }

    // About how many more bytes the layer below takes at once: what a write
    // of more would leave in the output buffer.
    virtual size_t roomBelow() const { return SIZE_MAX; }
    // Bounds each read by what the owner can place (given the size the
    // connection would read); unset, reads are bounded by the connection alone.
    void setReadRoom(std::function<size_t(size_t)> room) { m_readRoom = std::move(room); }

    uint32_t bytesRead() const { return m_bytesRead; }
    uint32_t bytesWritten() const { return m_bytesWritten; }

protected:
    virtual void doClose() = 0;
    void notify(Event event, int32_t error, uint32_t size);

    // Handlers hold a copy while they call out; it reads false once the
    // connection has been destroyed, so they stop touching it.
    std::shared_ptr<bool> aliveToken() const { return m_alive; }

    event_base* m_base;
    std::function<size_t(size_t)> m_readRoom;

private:
    EventCallback m_callback;
    bool m_closed = false;
    EvBufferPtr m_input;
    EvBufferPtr m_output;
    uint32_t m_bytesRead = 0;
    uint32_t m_bytesWritten = 0;
    std::shared_ptr<bool> m_alive;
};

using NcmConnPtr = std::unique_ptr<NcmConn>;
