#include "transport/NcmConn.h"

#include "base/Logger.h"

NcmConn::NcmConn(event_base* base)
    : m_base(base)
    , m_input(evbuffer_new())
    , m_output(evbuffer_new())
    , m_alive(std::make_shared<bool>(true))
{
}

NcmConn::~NcmConn()
{
    *m_alive = false;
}

void NcmConn::close()
{
    if (m_closed)
        return;
    m_closed = true;
    doClose();
}

void NcmConn::notify(Event event, int32_t error, uint32_t size)
{
    if (m_closed)
        return;
    if (event == Read)
        m_bytesRead += size;
    else if (event == Write)
        m_bytesWritten += size;
    if (!m_callback) {
        rootLogger.error("SOMETHING WRONG! connection %p has no event callback (event %d)",
            static_cast<void*>(this), static_cast<int>(event));
        return;
    }
    // Call a copy: the owner may replace the callback from inside it.
    EventCallback callback = m_callback;
    callback(this, event, error, size);
}
