#pragma once

#include <cstdarg>

class NcmProxy;

// The shell's handle on the one in-process proxy: created on first use,
// never destroyed (the proxy ends with the process).
class ProxyHolder {
public:
    static ProxyHolder& instance();

    // Composes the shell's configuration text, activates the proxy and
    // returns the port it listens on, or -1. Also prints "port = N".
    int startLocalProxy();

    NcmProxy* proxy() const { return m_proxy; }
    int port() const { return m_port; }

    // The shell's proxy switch ("/setting/use_proxy" is 1).
    bool enabled = false;

private:
    ProxyHolder() = default;
    NcmProxy* m_proxy = nullptr;
    int m_port = -1;
};

// The proxy's log output for the shell: each line on the Qt debug channel.
int qtDebugOutput(char level, const char* tag, const char* format, va_list args);
