// Case folding of the registry's names (see text.h); nothing else.
#include "platform/posix/text.h"

namespace netid::posix {

std::string FoldCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && FoldCase(a) == FoldCase(b);
}

}  // namespace netid::posix
