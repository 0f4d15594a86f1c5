#pragma once
#include <string>
#include <vector>

// Questions the resolver asks the host operating system.
namespace NcmSys {

// The host's DNS servers: the "nameserver" lines of the resolver
// configuration file, keeping only the IPv4 addresses the DNS client can
// ask. Empty when there are none, so that the configured servers stand in.
std::vector<std::string> getSystemDns();

// The same from the text of such a file.
std::vector<std::string> parseResolvConf(const std::string& text);

// Test-only: the file getSystemDns reads (empty restores /etc/resolv.conf).
// Set only while no proxy loop runs.
void setResolvConfPathForTest(const std::string& path);

} // namespace NcmSys
