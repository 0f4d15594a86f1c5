#pragma once
#include <string>
#include <vector>

// Questions the resolver asks the host operating system.
namespace NcmSys {

// The host's DNS server addresses as texts. Not available here: always
// empty, so the DNS client falls back to its configured servers.
std::vector<std::string> getSystemDns();

} // namespace NcmSys
