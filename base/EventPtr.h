#pragma once
#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/listener.h>

#include <cstdint>
#include <memory>

// Owners for libevent objects: each frees its object with the matching
// libevent function.
struct EventBaseDeleter {
    void operator()(event_base* base) const { event_base_free(base); }
};
struct EventConfigDeleter {
    void operator()(event_config* config) const { event_config_free(config); }
};
struct EventDeleter {
    void operator()(event* ev) const { event_free(ev); }
};
struct EvBufferDeleter {
    void operator()(evbuffer* buffer) const { evbuffer_free(buffer); }
};
struct ListenerDeleter {
    void operator()(evconnlistener* listener) const { evconnlistener_free(listener); }
};
struct HttpConnectionDeleter {
    void operator()(evhttp_connection* connection) const { evhttp_connection_free(connection); }
};
struct HttpDeleter {
    void operator()(evhttp* http) const { evhttp_free(http); }
};

using EventBasePtr = std::unique_ptr<event_base, EventBaseDeleter>;
using EventConfigPtr = std::unique_ptr<event_config, EventConfigDeleter>;
using EventPtr = std::unique_ptr<event, EventDeleter>;
using EvBufferPtr = std::unique_ptr<evbuffer, EvBufferDeleter>;
using ListenerPtr = std::unique_ptr<evconnlistener, ListenerDeleter>;
using HttpConnectionPtr = std::unique_ptr<evhttp_connection, HttpConnectionDeleter>;
using HttpPtr = std::unique_ptr<evhttp, HttpDeleter>;

// Makes a timer fire within ms: one already due sooner keeps its time, so
// that calling this often never pushes a pending timer back.
inline void armTimerWithin(event* timer, uint32_t ms)
{
    timeval due;
    timeval now;
    if (event_pending(timer, EV_TIMEOUT, &due)
        && event_base_gettimeofday_cached(event_get_base(timer), &now) == 0) {
        timeval left;
        evutil_timersub(&due, &now, &left);
        if (left.tv_sec * 1000 + left.tv_usec / 1000 <= static_cast<long>(ms))
            return;
    }
    timeval tv { static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000) };
    event_add(timer, &tv);
}
