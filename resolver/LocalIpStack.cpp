#include "resolver/LocalIpStack.h"

#include "base/Logger.h"

#include <event2/util.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

const char* localIpStackName(ELocalIPStack stack)
{
    switch (stack) {
    case ELocalIPStack_None: return "ELocalIPStack_None";
    case ELocalIPStack_IPv4: return "ELocalIPStack_IPv4";
    case ELocalIPStack_IPv6: return "ELocalIPStack_IPv6";
    case ELocalIPStack_Dual: return "ELocalIPStack_Dual";
    }
    return "ELocalIPStack_None";
}

namespace {
std::function<ELocalIPStack()> g_detector;

// Route flags shared by both kernel tables (linux/route.h).
constexpr unsigned long RouteUp = 0x0001;
constexpr unsigned long RouteReject = 0x0200;

bool usableDefault(const std::string& iface, unsigned long flags)
{
    // The kernel keeps an "unreachable" IPv6 default on lo; it is neither up
    // nor a way out of the machine.
    return (flags & RouteUp) && !(flags & RouteReject) && iface != "lo";
}

std::string readFile(const char* path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

bool hasIpv4DefaultRoute(const std::string& table)
{
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the first
    // line is a header. Destination and Mask are hexadecimal.
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refCnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refCnt >> use >> metric >> mask))
            continue;
        if (std::strtoul(destination.c_str(), nullptr, 16) != 0
            || std::strtoul(mask.c_str(), nullptr, 16) != 0)
            continue;
        if (usableDefault(iface, std::strtoul(flags.c_str(), nullptr, 16)))
            return true;
    }
    return false;
}

bool hasIpv6DefaultRoute(const std::string& table)
{
    // dest plen src splen nexthop metric refcnt use flags iface, all hex, no
    // header line.
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string destination, prefixLength, source, sourceLength, nextHop, metric, refCnt, use, flags,
            iface;
        if (!(fields >> destination >> prefixLength >> source >> sourceLength >> nextHop >> metric >> refCnt
                >> use >> flags >> iface))
            continue;
        if (destination.find_first_not_of('0') != std::string::npos
            || std::strtoul(prefixLength.c_str(), nullptr, 16) != 0)
            continue;
        if (usableDefault(iface, std::strtoul(flags.c_str(), nullptr, 16)))
            return true;
    }
    return false;
}

ELocalIPStack localIpStackFromRoutes(const std::string& ipv4Table, const std::string& ipv6Table)
{
    const bool v4 = hasIpv4DefaultRoute(ipv4Table);
    const bool v6 = hasIpv6DefaultRoute(ipv6Table);
    if (v4 && v6)
        return ELocalIPStack_Dual;
    if (v4)
        return ELocalIPStack_IPv4;
    if (v6)
        return ELocalIPStack_IPv6;
    return ELocalIPStack_None;
}

void setLocalIpStackDetectorForTest(std::function<ELocalIPStack()> detector)
{
    g_detector = std::move(detector);
}

ELocalIPStack DetectLocalIPStack()
{
    if (g_detector)
        return g_detector();
    return localIpStackFromRoutes(readFile("/proc/net/route"), readFile("/proc/net/ipv6_route"));
}
