#include "tools/regctl/text.h"

namespace regctl {

namespace {
char UpperAscii(char ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch; }
}  // namespace

bool EqualsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string ToUpper(std::string text)
{
    for (char& ch : text) {
        ch = UpperAscii(ch);
    }
    return text;
}

}  // namespace regctl
