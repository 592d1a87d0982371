// SPDX-License-Identifier: LGPL-2.1-or-later
// Build-time generator of the registry's upper-case table: for every UTF-16
// unit, Unicode's simple upper-case mapping as ICU gives it (units whose
// mapping lies outside the BMP, and surrogates, stay as they are). Writes a
// two-level table as C++ source to standard output.
#include <unicode/uchar.h>

#include <cstdio>
#include <vector>

int main()
{
    std::vector<std::vector<unsigned>> pages;  // the pages that map anything
    std::vector<unsigned> index(256, 0);       // 0: nothing on the page maps
    for (unsigned page = 0; page < 256; ++page) {
        std::vector<unsigned> map(256);
        bool any = false;
        for (unsigned low = 0; low < 256; ++low) {
            unsigned c = page * 256 + low;
            unsigned up = c;
            if (c < 0xD800 || c > 0xDFFF) {
                UChar32 mapped = u_toupper(static_cast<UChar32>(c));
                if (mapped >= 0 && mapped <= 0xFFFF) up = static_cast<unsigned>(mapped);
            }
            map[low] = up;
            any = any || up != c;
        }
        if (any) {
            pages.push_back(map);
            index[page] = static_cast<unsigned>(pages.size());
        }
    }
    std::printf("// Generated at build time from ICU %s; do not edit.\n", U_ICU_VERSION);
    std::printf("static const unsigned char kUpcaseIndex[256] = {");
    for (unsigned i = 0; i < 256; ++i) {
        std::printf("%s%u%s", i % 32 == 0 ? "\n    " : " ", index[i], i + 1 < 256 ? "," : "");
    }
    std::printf("\n};\nstatic const char16_t kUpcasePages[%zu][256] = {\n", pages.size());
    for (const auto& map : pages) {
        std::printf("    {");
        for (unsigned i = 0; i < 256; ++i) {
            std::printf("%s0x%04X%s", i % 16 == 0 ? "\n        " : "", map[i], i + 1 < 256 ? ", " : "");
        }
        std::printf("},\n");
    }
    std::printf("};\n");
    return 0;
}
