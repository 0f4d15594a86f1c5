#pragma once
#include <string>
#include <vector>

// Small text helpers shared by the configuration parser and the resolver.
namespace StringUtil {

// Removes leading and trailing space, tab, LF, VT, FF and CR.
std::string trim(const std::string& text);

// Splits at every separator; empty pieces are kept.
std::vector<std::string> split(const std::string& text, char separator);

// Splits at every separator and trims each piece; empty pieces are kept.
std::vector<std::string> splitTrimmed(const std::string& text, char separator);

std::string join(const std::vector<std::string>& items, const char* separator);

// The C library's atoi rules without its overflow undefinedness: optional
// blanks and sign, digits up to the first other byte, 0 without digits.
int parseInt(const std::string& text);

// Non-empty and made only of the digits 0-9 and '.'.
bool isIpAddress(const std::string& text);

// Four dot-separated decimal numbers of one to three digits, each 0..255.
bool isDottedQuad(const std::string& text);

// Non-empty labels between the dots; one final dot is allowed.
bool hasOnlyNonEmptyLabels(const std::string& name);

std::string toLower(const std::string& text);

bool startsWith(const std::string& text, const std::string& prefix);
bool endsWith(const std::string& text, const std::string& suffix);

} // namespace StringUtil
