#include "resolver/NcmSys.h"

#include "base/Logger.h"
#include "base/StringUtil.h"

#include <fstream>
#include <sstream>

namespace NcmSys {

namespace {

    // A function's own static: test support sets it during static initialisation.
    std::string& resolvConfPath()
    {
        static std::string path;
        return path;
    }

} // namespace

std::vector<std::string> parseResolvConf(const std::string& text)
{
    std::vector<std::string> servers;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string keyword, address;
        if (!(words >> keyword >> address) || keyword != "nameserver")
            continue;
        // IPv6 servers, scoped addresses and the like are not for the DNS client.
        if (StringUtil::isDottedQuad(address))
            servers.push_back(address);
    }
    return servers;
}

std::vector<std::string> getSystemDns()
{
    const std::string path = resolvConfPath().empty() ? "/etc/resolv.conf" : resolvConfPath();
    std::ifstream file(path);
    if (!file) {
        rootLogger.info("NcmSys::getSystemDns can not read %s", path.c_str());
        return {};
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parseResolvConf(text.str());
}

void setResolvConfPathForTest(const std::string& path)
{
    resolvConfPath() = path;
}

} // namespace NcmSys
