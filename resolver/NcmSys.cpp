#include "resolver/NcmSys.h"

#include "base/Logger.h"

namespace NcmSys {

std::vector<std::string> getSystemDns()
{
    rootLogger.error("NcmSys::getSystemDns not implemented on Windows");
    return {};
}

} // namespace NcmSys
