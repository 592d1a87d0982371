// Case folding of the registry's names: one fold for every comparison that
// ignores case (key and value names, privilege and machine names). Nothing
// else about text lives here.
#ifndef NETID_PLATFORM_POSIX_TEXT_H
#define NETID_PLATFORM_POSIX_TEXT_H

#include <string>
#include <string_view>

namespace netid::posix {

// `text` with its letters folded to one case (ASCII upper case; other bytes
// stay as they are). Two names are the same name when their folds are equal.
std::string FoldCase(std::string_view text);

// True when `a` and `b` are the same name apart from case.
bool SameName(std::string_view a, std::string_view b);

}  // namespace netid::posix

#endif
