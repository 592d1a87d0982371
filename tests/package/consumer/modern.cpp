// SPDX-License-Identifier: LGPL-2.1-or-later
// The second consumer: netid::RegKey from <netid/registry.hpp>. Creates a key
// with values of several types, reads them back through the ranges and the
// typed getters, checks a failure's status and text, and deletes the tree;
// prints "consumer: ok" when all of it worked.
#include <cstdio>
#include <string>
#include <vector>

#include <netid/registry.hpp>

int main()
{
    const std::string path = "Software\\NetidModernConsumer";
    try {
        netid::RegKey key = netid::RegKey::Create(HKEY_CURRENT_USER, path);
        key.SetDword("Answer", 42);
        key.SetMultiString("List", {"a", "b"});
        key.CreateSubKey("Child").SetString("", "x");
        int values = 0;
        for (const netid::RegValue& value : key.Values()) values += value.name.empty() ? 0 : 1;
        std::vector<std::string> children;
        for (const std::string& name : key.SubKeys()) children.push_back(name);
        if (key.GetDword("Answer") != 42 || key.GetMultiString("List").size() != 2 || values != 2 ||
            children != std::vector<std::string>{"Child"}) {
            std::printf("consumer: read back wrong\n");
            return 1;
        }
        auto missing = key.TryGetString("Missing");
        if (missing || missing.error() != ERROR_FILE_NOT_FOUND || missing.message().empty()) {
            std::printf("consumer: a missing value gave status %ld\n", static_cast<long>(missing.error()));
            return 1;
        }
        key.Close();
        netid::RegKey::Open(HKEY_CURRENT_USER, "Software", KEY_ALL_ACCESS).DeleteTree("NetidModernConsumer");
    } catch (const netid::RegistryError& error) {
        std::printf("consumer: %s (status %ld)\n", error.what(), static_cast<long>(error.Status()));
        return 1;
    }
    std::printf("consumer: ok\n");
    return 0;
}
