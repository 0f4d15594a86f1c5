#pragma once
#include <string>

// The configuration text that the browser shell (and the headless proxy
// program) hands to the proxy, composed from fixed lines and the INI file
// "lumashell.ini" in the application directory.
std::string composeShellProxyConfig(const std::string& applicationDir);

// Reads one key ("group/key", as written with a leading "/" or without) from
// an INI file. Returns false when the file or the key is missing.
bool readIniValue(const std::string& path, const std::string& key, std::string& value);
