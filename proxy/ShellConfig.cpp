#include "proxy/ShellConfig.h"

#include "base/Logger.h"
#include "base/StringUtil.h"

#include <fstream>
#include <sstream>

bool readIniValue(const std::string& path, const std::string& key, std::string& value)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::string wanted = StringUtil::startsWith(key, "/") ? key.substr(1) : key;
    if (wanted.find('/') == std::string::npos)
        wanted = "General/" + wanted;
    std::string section = "General";
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        line = StringUtil::trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            section = StringUtil::trim(line.substr(1, line.size() - 2));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        if (section + "/" + StringUtil::trim(line.substr(0, eq)) != wanted)
            continue;
        std::string v = StringUtil::trim(line.substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        value = v; // the last occurrence wins, as when the file is re-read
        found = true;
    }
    return found;
}

std::string composeShellProxyConfig(const std::string& applicationDir)
{
    // The maker's server tables use documentation addresses and example
    // domains; a deployment points them at real servers with the file named
    // by "/setting/proxy_config" (its lines override these).
    std::string text = "LogLevel=D\n"
                       "ShowStatsOnAccept=1\n"
                       "DebugUseFixedLocalPort=28080\n"
                       "UseSystemDns=1\n"
                       "BackgroundIdleTimeoutToReactivate=60\n"
                       "DnsTcp=114.114.114.114,114.114.115.115,223.5.5.5,223.6.6.6,119.29.29.29,"
                       "182.254.116.116\n"
                       "DnsUdp=114.114.114.114,114.114.115.115,223.5.5.5,223.6.6.6,119.29.29.29,"
                       "182.254.116.116,1.2.4.8,210.2.4.8\n"
                       "DnsHttp=192.0.2.53:80,198.51.100.53:80\n"
                       "DomainIps=api.example.com:192.0.2.11,192.0.2.12,192.0.2.13;"
                       "www.example.org:198.51.100.21,198.51.100.22,198.51.100.23\n";

    const std::string iniPath = applicationDir + "/lumashell.ini";
    std::string value;
    if (readIniValue(iniPath, "/setting/use_kcp", value) && StringUtil::parseInt(value) == 1) {
        text += "KcpEnabled=1\n"
                "KcpHostMapping=.example.test#192.0.2.99:9990;.example.com#203.0.113.90:9990;"
                ".example.org#203.0.113.90:9990\n";
    }

    if (readIniValue(iniPath, "/setting/proxy_config", value) && !value.empty()) {
        std::string path = value[0] == '/' ? value : applicationDir + "/" + value;
        std::ifstream extra(path);
        if (!extra) {
            rootLogger.error("proxy config file not found, ignored: %s", path.c_str());
        } else {
            std::stringstream content;
            content << extra.rdbuf();
            std::string lines = content.str();
            if (!lines.empty() && lines.back() != '\n')
                lines += '\n';
            text += lines;
        }
    }
    return text;
}
