#pragma once

#include <cstdarg>
#include <thread>

class NcmProxy;

// The shell's handle on the one in-process proxy: created on first use,
// stopped when the application ends.
class ProxyHolder {
public:
    static ProxyHolder& instance();

    // Composes the shell's configuration text, activates the proxy and
    // returns the port it listens on, or -1. Also prints "port = N".
    int startLocalProxy();
    // The same on a thread of its own; port() waits for it.
    void startLocalProxyInBackground();

    NcmProxy* proxy()
    {
        port();
        return m_proxy;
    }
    int port();
    // Ends the proxy's loop and deletes it. Its relay conversations are ended
    // with one marker each on the way out, so that the relay frees their
    // slots at once instead of keeping them until its idle time-out and
    // refusing this address's next client. Takes a few milliseconds.
    void stopLocalProxy();

    // The shell's proxy switch ("/setting/use_proxy" is 1).
    bool enabled = false;

private:
    ProxyHolder() = default;
    NcmProxy* m_proxy = nullptr;
    int m_port = -1;
    std::thread m_starting;
};

// The proxy's log output for the shell: each line on the Qt debug channel.
int qtDebugOutput(char level, const char* tag, const char* format, va_list args);
