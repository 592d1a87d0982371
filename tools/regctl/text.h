// Small text helpers shared by the parts of the tool.
#ifndef NETID_TOOLS_REGCTL_TEXT_H
#define NETID_TOOLS_REGCTL_TEXT_H

#include <string>

namespace regctl {

// ASCII case-insensitive comparison (registry names compare this way).
bool EqualsNoCase(const std::string& a, const std::string& b);
std::string ToUpper(std::string text);

}  // namespace regctl

#endif
