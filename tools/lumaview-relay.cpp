// The relay at the far end of the proxy's KCP connections: accepts KCP
// conversations on UDP and carries each to an upstream over TCP.
#include "base/EventPtr.h"
#include "base/GlobalInit.h"
#include "base/Logger.h"
#include "relay/KcpRelay.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
        "Usage: lumaview-relay --listen ADDR:PORT --upstream HOST:PORT [--reuse-port]\n"
        "                      [--route SUFFIX=HOST:PORT ...] [--idle-timeout SECONDS]\n"
        "                      [--max-per-source N] [--log-level LETTER] [sending options]\n"
        "                      [unproven address options]\n"
        "\n"
        "Accepts KCP conversations from lumaview-proxy on UDP ADDR:PORT (port 0 picks\n"
        "a free one) and carries each over its own TCP connection to an upstream.\n"
        "\n"
        "  --listen ADDR:PORT        UDP address to listen on ([::1]:PORT for IPv6).\n"
        "  --reuse-port              share ADDR:PORT with other relays started with it\n"
        "                            by the same user (SO_REUSEPORT): the kernel spreads\n"
        "                            the clients among them by address and port.\n"
        "  --upstream HOST:PORT      where conversations go when no route matches.\n"
        "  --route SUFFIX=HOST:PORT  conversations whose HTTP Host header or TLS server\n"
        "                            name is SUFFIX or ends in .SUFFIX go to HOST:PORT;\n"
        "                            repeatable, tried in order.\n"
        "  --idle-timeout SECONDS    drop conversations without traffic for this long\n"
        "                            (default 60; 0 never drops). Independently, a\n"
        "                            conversation whose client acknowledges nothing\n"
        "                            for 10 s is dropped.\n"
        "  --max-per-source N        live proven conversations from one client address,\n"
        "                            any port (default %d); more Opens from it are\n"
        "                            ignored.\n"
        "  --log-level LETTER        one of UACEWNIDV (default I).\n"
        "\n"
        "Sending options (the relay sends the downloads; the client keeps its own):\n"
        "  --no-delay 0|1            fast retransmission time-outs (default 1).\n"
        "  --interval MS             flush interval, 10 to 5000 (default 20).\n"
        "  --fast-resend N           resend after N later acks, 0 = off (default 2).\n"
        "  --congestion-window on|off  whether a congestion window limits sending\n"
        "                            (default off: only the windows do).\n"
        "  --pacing on|off           send at the measured delivery rate instead of\n"
        "                            in window bursts (default on).\n"
        "  --ack-repeat on|off       acknowledge each segment received out of order\n"
        "                            twice, in two datagrams (default on).\n"
        "  --send-window N           send window in segments (default 512; paced,\n"
        "                            in flight stays near twice the bandwidth-delay\n"
        "                            product; unpaced, 128 suits 20 Mbit/s at a\n"
        "                            70 ms round trip).\n"
        "  --receive-window N        receive window in segments (default 1024, at most\n"
        "                            %d: a conversation holds at most %d MiB from\n"
        "                            its client).\n"
        "\n"
        "Unproven addresses (until the client echoes the relay's random challenge):\n"
        "  --max-unproven N          unproven conversations in all (default %d).\n"
        "  --max-unproven-per-source N  unproven conversations from one client\n"
        "                            address, any port (default %d). When a share is\n"
        "                            full, its oldest unproven conversation gives way.\n"
        "  --unproven-time MS        drop a conversation not proven by then (default\n"
        "                            %u).\n"
        "\n"
        "  --help                    show this text.\n"
        "\n"
        "Prints \"port = N\" on standard output once it listens, logs to standard error,\n"
        "and runs until SIGINT or SIGTERM, then exits 0. Exits 1 when it can not start\n"
        "and 2 on a bad command line.\n"
        "\n"
        "The relay's Open carries a random challenge that the client's\n"
        "acknowledgement echoes. Until it does, the client's address is unproven:\n"
        "no upstream connection is opened, nothing is forwarded, and the address is\n"
        "sent no more bytes than it sent, so forged source addresses can not turn\n"
        "the relay into an amplifier.\n",
        static_cast<int>(KcpRelayOptions().maxConversationsPerSource), KcpRelay::maxReceiveWindow(),
        static_cast<int>(KcpRelay::ReceiveBufferLimit >> 20), static_cast<int>(KcpRelayOptions().maxUnproven),
        static_cast<int>(KcpRelayOptions().maxUnprovenPerSource), KcpRelayOptions().unprovenMs);
}

bool parseSeconds(const char* text, int& out)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 86400 * 365)
        return false;
    out = static_cast<int>(value);
    return true;
}

bool parseNumber(const char* text, int low, int high, int& out)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

void onStopSignal(evutil_socket_t, short, void* arg)
{
    event_base_loopbreak(static_cast<event_base*>(arg));
}

} // namespace

int main(int argc, char** argv)
{
    KcpRelayOptions options;
    char logLevel = 'I';
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--listen" && hasValue) {
            options.listen = argv[++i];
        } else if (arg == "--reuse-port") {
            options.reusePort = true;
        } else if (arg == "--upstream" && hasValue) {
            options.upstream = argv[++i];
        } else if (arg == "--route" && hasValue) {
            const std::string route = argv[++i];
            const size_t equals = route.find('=');
            if (equals == std::string::npos || equals == 0 || equals + 1 == route.size()) {
                std::fprintf(
                    stderr, "lumaview-relay: --route wants SUFFIX=HOST:PORT, got %s\n", route.c_str());
                return 2;
            }
            options.routes.emplace_back(route.substr(0, equals), route.substr(equals + 1));
        } else if (arg == "--idle-timeout" && hasValue) {
            if (!parseSeconds(argv[++i], options.idleTimeoutSeconds)) {
                std::fprintf(stderr, "lumaview-relay: bad --idle-timeout: %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--max-per-source" && hasValue) {
            int value = 0;
            ok = parseNumber(argv[++i], 1, 1 << 20, value);
            options.maxConversationsPerSource = static_cast<size_t>(value);
        } else if ((arg == "--max-unproven" || arg == "--max-unproven-per-source") && hasValue) {
            int value = 0;
            ok = parseNumber(argv[++i], 1, 1 << 20, value);
            (arg == "--max-unproven" ? options.maxUnproven : options.maxUnprovenPerSource)
                = static_cast<size_t>(value);
        } else if (arg == "--unproven-time" && hasValue) {
            int value = 0;
            ok = parseNumber(argv[++i], 100, 60000, value);
            options.unprovenMs = static_cast<uint32_t>(value);
        } else if (arg == "--no-delay" && hasValue) {
            ok = parseNumber(argv[++i], 0, 1, options.profile.noDelay);
        } else if (arg == "--interval" && hasValue) {
            ok = parseNumber(argv[++i], 10, 5000, options.profile.interval);
        } else if (arg == "--fast-resend" && hasValue) {
            ok = parseNumber(argv[++i], 0, 1000, options.profile.fastResend);
        } else if (arg == "--congestion-window" && hasValue) {
            const std::string value = argv[++i];
            ok = value == "on" || value == "off";
            options.profile.noCwnd = value == "off" ? 1 : 0;
        } else if (arg == "--pacing" && hasValue) {
            const std::string value = argv[++i];
            ok = value == "on" || value == "off";
            options.profile.pacing = value == "on" ? 1 : 0;
        } else if (arg == "--ack-repeat" && hasValue) {
            const std::string value = argv[++i];
            ok = value == "on" || value == "off";
            options.profile.ackRepeat = value == "on" ? 1 : 0;
        } else if (arg == "--send-window" && hasValue) {
            ok = parseNumber(argv[++i], 1, 65535, options.profile.sendWindow);
        } else if (arg == "--receive-window" && hasValue) {
            ok = parseNumber(argv[++i], 1, 65535, options.profile.receiveWindow);
        } else if (arg == "--log-level" && hasValue && std::strlen(argv[i + 1]) == 1
            && std::strchr(LevelLetters, argv[i + 1][0])) {
            logLevel = argv[++i][0];
        } else {
            std::fprintf(stderr, "lumaview-relay: unknown or incomplete argument: %s\n\n", arg.c_str());
            usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "lumaview-relay: bad value for %s: %s\n", arg.c_str(), argv[i]);
            return 2;
        }
    }
    if (options.listen.empty() || options.upstream.empty()) {
        std::fprintf(stderr, "lumaview-relay: --listen and --upstream are required\n\n");
        usage(stderr);
        return 2;
    }

    std::signal(SIGPIPE, SIG_IGN);
    rootLogger.setOutput(stderrLogOutput);
    rootLogger.setLevel(logLevel);
    proxyGlobalInit();

    EventBasePtr base(event_base_new());
    if (!base) {
        std::fprintf(stderr, "lumaview-relay: no event base\n");
        return 1;
    }
    {
        KcpRelay relay(base.get(), options);
        std::string error;
        if (!relay.start(error)) {
            std::fprintf(stderr, "lumaview-relay: %s\n", error.c_str());
            std::printf("port = -1\n");
            std::fflush(stdout);
            return 1;
        }
        EventPtr sigint(evsignal_new(base.get(), SIGINT, &onStopSignal, base.get()));
        EventPtr sigterm(evsignal_new(base.get(), SIGTERM, &onStopSignal, base.get()));
        event_add(sigint.get(), nullptr);
        event_add(sigterm.get(), nullptr);
        std::printf("port = %d\n", relay.port());
        std::fflush(stdout);

        event_base_dispatch(base.get());
        const KcpRelayStats& stats = relay.stats();
        logRelay.info("relay stopping: opened=%llu, finished=%llu, idle=%llu, silent=%llu, refused=%llu, "
                      "unproven=%llu, "
                      "ignored=%llu, upstream failures=%llu, open now=%d",
            static_cast<unsigned long long>(stats.opened), static_cast<unsigned long long>(stats.finished),
            static_cast<unsigned long long>(stats.idleDropped),
            static_cast<unsigned long long>(stats.silentDropped),
            static_cast<unsigned long long>(stats.refused),
            static_cast<unsigned long long>(stats.unprovenDropped),
            static_cast<unsigned long long>(stats.ignoredDatagrams),
            static_cast<unsigned long long>(stats.upstreamFailures),
            static_cast<int>(relay.conversationCount()));
    }
    return 0;
}
