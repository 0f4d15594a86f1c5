// A bad network on demand, for tests and benchmarks: drops, duplicates,
// delays and reorders a configurable share of the datagrams it forwards,
// with a seeded generator so that a run can be replayed.
#include "base/EventPtr.h"
#include "base/SocketUtil.h"
#include "relay/LossyLink.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
        "Usage: lumaview-lossy --listen ADDR:PORT --target ADDR:PORT [impairments]\n"
        "       lumaview-lossy --tun NETNS:DEVICE --tun NETNS:DEVICE [impairments]\n"
        "\n"
        "UDP mode forwards datagrams between clients on ADDR:PORT (port 0 picks a free\n"
        "one) and the target, each client through its own socket. TUN mode joins two\n"
        "existing tun devices (IFF_TUN, no packet info) in two network namespaces\n"
        "(names under /var/run/netns) into one link that carries every IP packet,\n"
        "TCP and UDP alike. Both directions get the same impairments:\n"
        "\n"
        "  --loss SHARE           drop this share of the datagrams (0.1 or 10%%).\n"
        "  --duplicate SHARE      send this share twice.\n"
        "  --reorder SHARE        hold this share back so that later ones overtake it.\n"
        "  --reorder-delay MS     how long a reordered datagram is held (default 10).\n"
        "  --delay MS             one-way delay added to every datagram (default 0).\n"
        "  --jitter MS            up to this much more delay per datagram, drawn\n"
        "                         uniformly; datagrams keep their order.\n"
        "  --rate MBIT            bandwidth cap in Mbit/s: datagrams wait in a queue\n"
        "                         drained at this rate (default: no cap).\n"
        "  --queue BYTES          size of that queue; a datagram that does not fit is\n"
        "                         dropped (default 131072).\n"
        "  --burst ENTER,LEAVE[,LOSS]\n"
        "                         bursty loss: per datagram, the chance of entering\n"
        "                         and of leaving a bad state, and the loss in it\n"
        "                         (default 1); --loss applies in the good state.\n"
        "  --seed N               seed of the random choices (default 1).\n"
        "  --help                 show this text.\n"
        "\n"
        "The cap applies first, then loss, then delay, so a lost datagram has used the\n"
        "link. Prints \"port = N\" (UDP mode) or \"ready\" (TUN mode) on standard\n"
        "output when forwarding and one \"counters\" line per direction there on\n"
        "SIGUSR1; runs until SIGINT or SIGTERM, prints what it did on standard error\n"
        "and exits 0.\n");
}

bool parseCount(const char* text, uint32_t& out)
{
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value > 100000000ul)
        return false;
    out = static_cast<uint32_t>(value);
    return true;
}

bool parseRate(const char* text, uint64_t& bitsPerSecond)
{
    char* end = nullptr;
    const double mbit = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(mbit > 0.0 && mbit <= 100000.0))
        return false;
    bitsPerSecond = static_cast<uint64_t>(mbit * 1e6);
    return true;
}

// "ENTER,LEAVE" or "ENTER,LEAVE,LOSS", each a share.
bool parseBurst(const std::string& text, ImpairmentProfile& profile)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    if (parts.size() < 2 || parts.size() > 3)
        return false;
    if (!parseShare(parts[0], profile.enterBad) || !parseShare(parts[1], profile.leaveBad))
        return false;
    profile.lossBad = 1.0;
    return parts.size() < 3 || parseShare(parts[2], profile.lossBad);
}

void onStopSignal(evutil_socket_t, short, void* arg)
{
    event_base_loopbreak(static_cast<event_base*>(arg));
}

void printStats(FILE* out, const char* prefix, const char* direction, const ImpairmentStats& s)
{
    std::fprintf(out,
        "%s%s: received=%llu forwarded=%llu dropped=%llu duplicated=%llu reordered=%llu "
        "overflowed=%llu received_bytes=%llu forwarded_bytes=%llu largest=%zu\n",
        prefix, direction, static_cast<unsigned long long>(s.received),
        static_cast<unsigned long long>(s.forwarded), static_cast<unsigned long long>(s.dropped),
        static_cast<unsigned long long>(s.duplicated), static_cast<unsigned long long>(s.reordered),
        static_cast<unsigned long long>(s.overflowed), static_cast<unsigned long long>(s.receivedBytes),
        static_cast<unsigned long long>(s.forwardedBytes), s.largest);
    std::fflush(out);
}

// What SIGUSR1 prints: the counters so far, for a caller measuring one transfer.
struct CounterReport {
    std::function<void()> print;
    static void onSignal(evutil_socket_t, short, void* arg) { static_cast<CounterReport*>(arg)->print(); }
};

// Attaches to the tun device DEVICE inside the namespace NETNS; the
// descriptor keeps working after we return to our own namespace.
UniqueSocket openTunIn(const std::string& where, std::string& error)
{
    const size_t colon = where.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == where.size()) {
        error = "--tun wants NETNS:DEVICE, got " + where;
        return UniqueSocket();
    }
    const std::string ns = where.substr(0, colon);
    const std::string device = where.substr(colon + 1);
    UniqueSocket own(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    UniqueSocket target(::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
    if (!own.valid() || !target.valid() || setns(target.get(), CLONE_NEWNET) != 0) {
        error = "can not enter network namespace " + ns + ": " + std::strerror(errno);
        return UniqueSocket();
    }
    UniqueSocket tun(::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
    ifreq request {};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, device.c_str(), IFNAMSIZ - 1);
    if (!tun.valid() || ioctl(tun.get(), TUNSETIFF, &request) != 0) {
        error = "can not attach to tun device " + device + " in " + ns + ": " + std::strerror(errno);
        tun.reset();
    }
    if (setns(own.get(), CLONE_NEWNET) != 0) {
        error = std::string("can not return to our network namespace: ") + std::strerror(errno);
        tun.reset();
    }
    return tun;
}

// One end of a TUN link: packets read from `from` go through `path` into the other end.
struct TunEnd {
    UniqueSocket fd;
    EventPtr event;
    std::unique_ptr<ImpairedPath> path;

    static void onReadable(evutil_socket_t fd, short, void* arg)
    {
        auto* end = static_cast<TunEnd*>(arg);
        uint8_t packet[65536];
        for (int i = 0; i < 1024; ++i) {
            ssize_t n = ::read(fd, packet, sizeof packet);
            if (n <= 0)
                break;
            end->path->submit(packet, static_cast<size_t>(n));
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    LossyUdpOptions udp;
    ImpairmentProfile profile;
    std::vector<std::string> tuns;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--listen" && hasValue) {
            udp.listen = argv[++i];
        } else if (arg == "--target" && hasValue) {
            udp.target = argv[++i];
        } else if (arg == "--tun" && hasValue) {
            tuns.push_back(argv[++i]);
        } else if (arg == "--loss" && hasValue) {
            ok = parseShare(argv[++i], profile.loss);
        } else if (arg == "--duplicate" && hasValue) {
            ok = parseShare(argv[++i], profile.duplicate);
        } else if (arg == "--reorder" && hasValue) {
            ok = parseShare(argv[++i], profile.reorder);
        } else if (arg == "--reorder-delay" && hasValue) {
            ok = parseCount(argv[++i], profile.reorderMs);
        } else if (arg == "--delay" && hasValue) {
            ok = parseCount(argv[++i], profile.delayMs);
        } else if (arg == "--jitter" && hasValue) {
            ok = parseCount(argv[++i], profile.jitterMs);
        } else if (arg == "--rate" && hasValue) {
            ok = parseRate(argv[++i], profile.rateBitsPerSecond);
        } else if (arg == "--queue" && hasValue) {
            uint32_t bytes = 0;
            ok = parseCount(argv[++i], bytes) && bytes >= 2048;
            profile.queueBytes = bytes;
        } else if (arg == "--burst" && hasValue) {
            ok = parseBurst(argv[++i], profile);
        } else if (arg == "--seed" && hasValue) {
            ok = parseCount(argv[++i], udp.seed);
        } else {
            std::fprintf(stderr, "lumaview-lossy: unknown or incomplete argument: %s\n\n", arg.c_str());
            usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "lumaview-lossy: bad value for %s: %s\n", arg.c_str(), argv[i]);
            return 2;
        }
    }
    const bool tunMode = !tuns.empty();
    if (tunMode ? (tuns.size() != 2 || !udp.listen.empty()) : (udp.listen.empty() || udp.target.empty())) {
        std::fprintf(stderr, "lumaview-lossy: give --listen and --target, or --tun twice\n\n");
        usage(stderr);
        return 2;
    }

    std::signal(SIGPIPE, SIG_IGN);
    EventBasePtr base(event_base_new());
    EventPtr sigint(evsignal_new(base.get(), SIGINT, &onStopSignal, base.get()));
    EventPtr sigterm(evsignal_new(base.get(), SIGTERM, &onStopSignal, base.get()));
    event_add(sigint.get(), nullptr);
    event_add(sigterm.get(), nullptr);
    CounterReport report;
    EventPtr sigusr1(evsignal_new(base.get(), SIGUSR1, &CounterReport::onSignal, &report));
    event_add(sigusr1.get(), nullptr);

    if (!tunMode) {
        udp.toTarget = profile;
        udp.toClient = profile;
        LossyUdpForwarder forwarder(base.get(), udp);
        std::string error;
        if (!forwarder.start(error)) {
            std::fprintf(stderr, "lumaview-lossy: %s\n", error.c_str());
            return 1;
        }
        report.print = [&forwarder] {
            printStats(stdout, "counters ", "to target", forwarder.toTargetStats());
            printStats(stdout, "counters ", "to clients", forwarder.toClientStats());
        };
        std::printf("port = %d\n", forwarder.port());
        std::fflush(stdout);
        event_base_dispatch(base.get());
        printStats(stderr, "lumaview-lossy ", "to target", forwarder.toTargetStats());
        printStats(stderr, "lumaview-lossy ", "to clients", forwarder.toClientStats());
        return 0;
    }

    TunEnd ends[2];
    for (int i = 0; i < 2; ++i) {
        std::string error;
        ends[i].fd = openTunIn(tuns[i], error);
        if (!ends[i].fd.valid()) {
            std::fprintf(stderr, "lumaview-lossy: %s\n", error.c_str());
            return 1;
        }
    }
    for (int i = 0; i < 2; ++i) {
        const int out = ends[1 - i].fd.get();
        ends[i].path = std::make_unique<ImpairedPath>(
            base.get(), profile, udp.seed * 1000003u + i, [out](const uint8_t* data, size_t size) {
                ssize_t r = ::write(out, data, size);
                (void)r;
            });
        ends[i].event.reset(
            event_new(base.get(), ends[i].fd.get(), EV_READ | EV_PERSIST, &TunEnd::onReadable, &ends[i]));
        event_add(ends[i].event.get(), nullptr);
    }
    report.print = [&ends, &tuns] {
        for (int i = 0; i < 2; ++i)
            printStats(stdout, "counters ", tuns[i].c_str(), ends[i].path->stats());
    };
    std::printf("ready\n");
    std::fflush(stdout);
    event_base_dispatch(base.get());
    for (int i = 0; i < 2; ++i)
        printStats(stderr, "lumaview-lossy ", tuns[i].c_str(), ends[i].path->stats());
    for (auto& end : ends)
        end.event.reset();
    return 0;
}
