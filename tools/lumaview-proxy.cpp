// Runs the local proxy without the browser shell.
#include "base/Logger.h"
#include "proxy/NcmProxy.h"
#include "proxy/ShellConfig.h"
#include "resolver/NcmDnsResolutionTask.h"
#include "resolver/NcmSys.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
        "Usage: lumaview-proxy [--config FILE]\n"
        "\n"
        "Runs the Lumaview local HTTP proxy on 127.0.0.1 without the browser shell.\n"
        "\n"
        "  --config FILE  use the configuration text in FILE (lines of Key=Value).\n"
        "                 Without it, the text the browser shell composes is used,\n"
        "                 including lumashell.ini beside this program.\n"
        "  --help         show this text.\n"
        "\n"
        "Prints \"port = N\" on standard output once the proxy listens (N is -1 when\n"
        "it could not bind, and the program then exits with status 1), logs to\n"
        "standard error, and runs until SIGINT or SIGTERM, then stops and exits 0.\n"
        "When the listener fails for good the program exits with status 1, so that\n"
        "a supervisor can start it again.\n"
        "\n"
        "The environment variable LUMAVIEW_DNS_PORT, when set, is the port the DNS\n"
        "servers are asked on instead of 53 (for tests with unprivileged servers).\n"
        "LUMAVIEW_RESOLV_CONF, when set, is read instead of /etc/resolv.conf for the\n"
        "system's DNS servers (UseSystemDns=1).\n");
}

std::string applicationDir(const char* argv0)
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string(argv0);
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

} // namespace

int main(int argc, char** argv)
{
    const char* configPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
            configPath = argv[++i];
            continue;
        }
        std::fprintf(stderr, "lumaview-proxy: unknown argument: %s\n\n", argv[i]);
        usage(stderr);
        return 2;
    }

    std::string text;
    if (configPath) {
        std::ifstream in(configPath);
        if (!in) {
            std::fprintf(stderr, "lumaview-proxy: can not read %s\n", configPath);
            return 2;
        }
        std::stringstream content;
        content << in.rdbuf();
        text = content.str();
    } else {
        text = composeShellProxyConfig(applicationDir(argv[0]));
    }

    // Block the stop signals in every thread; the main thread waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (const char* dnsPort = std::getenv("LUMAVIEW_DNS_PORT")) {
        const int port = std::atoi(dnsPort);
        if (port <= 0 || port > 65535) {
            std::fprintf(stderr, "lumaview-proxy: LUMAVIEW_DNS_PORT is not a port: %s\n", dnsPort);
            return 2;
        }
        setDnsPortForTest(static_cast<uint16_t>(port));
    }

    if (const char* resolvConf = std::getenv("LUMAVIEW_RESOLV_CONF"))
        NcmSys::setResolvConfPathForTest(resolvConf);

    rootLogger.setOutput(stderrLogOutput);
    proxyGlobalInit();

    NcmProxy proxy;
    proxy.activate(text.c_str());
    const int port = proxy.port();
    std::printf("port = %d\n", port);
    std::fflush(stdout);
    if (port == -1)
        return 1;

    // The event loop ends on its own only when the listener fails; the port
    // then reads -1.
    const timespec poll { 0, 200 * 1000 * 1000 };
    while (sigtimedwait(&stopSignals, nullptr, &poll) < 0) {
        if (proxy.port() == -1) {
            std::fprintf(stderr, "lumaview-proxy: the listener failed, exiting\n");
            proxy.stop();
            return 1;
        }
    }
    proxy.stop();
    return 0;
}
