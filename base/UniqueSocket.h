#pragma once
#include <event2/util.h>

#include <utility>

// Owns one socket descriptor and closes it when destroyed or reset.
// Move-only.
class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(evutil_socket_t fd)
        : m_fd(fd)
    {
    }
    ~UniqueSocket() { reset(); }
    UniqueSocket(UniqueSocket&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    UniqueSocket& operator=(UniqueSocket&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;

    evutil_socket_t get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(evutil_socket_t fd = -1)
    {
        if (m_fd >= 0)
            evutil_closesocket(m_fd);
        m_fd = fd;
    }

private:
    evutil_socket_t m_fd = -1;
};
