// SPDX-License-Identifier: LGPL-2.1-or-later
// Writes a value with CRegistry, reads it back and removes its key again;
// prints "consumer: ok" when all of it worked.
#include <cstdio>

#include <netid/registry/registry.h>

int main()
{
    const char* path = "Software\\NetidConsumer";
    CRegistry reg;
    if (!reg.Connect(HKEY_CURRENT_USER, nullptr) ||
        !reg.CreateKey(path, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, nullptr) ||
        !reg.SetDwordValue("Answer", 42)) {
        std::printf("consumer: writing failed with status %ld\n", static_cast<long>(reg.GetStatus()));
        return 1;
    }
    DWORD value = 0;
    if (!reg.GetDwordValue("Answer", value) || value != 42) {
        std::printf("consumer: read %lu, status %ld\n", static_cast<unsigned long>(value),
                    static_cast<long>(reg.GetStatus()));
        return 1;
    }
    reg.Close();
    if (DeleteKeyTree(HKEY_CURRENT_USER, path) != ERROR_SUCCESS) {
        std::printf("consumer: the key could not be removed\n");
        return 1;
    }
    std::printf("consumer: ok\n");
    return 0;
}
