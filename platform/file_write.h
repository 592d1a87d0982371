// SPDX-License-Identifier: LGPL-2.1-or-later
// Writing a file a user named (an export) on that user's behalf, whole or
// not at all, without ever writing through a name someone else planted: the
// content goes to a fresh name no one can guess, made only if nothing has
// that name (so never through a link), and is then renamed over the file.
// A link put where the file is to be is replaced, its target left alone.
// The file gets the mode a plain creation under the caller's umask gives.
#ifndef NETID_PLATFORM_FILE_WRITE_H
#define NETID_PLATFORM_FILE_WRITE_H

#include <cstdio>
#include <string>

#include "platform/win32.h"

namespace netid {

#if defined(_WIN32)
inline bool WriteWholeFile(const std::string& file, const std::string& content)
{
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".%08lx%08lx%04lx.new", static_cast<unsigned long>(GetTickCount()),
                      static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(InterlockedIncrement(&counter)));
        const std::string beside = file + suffix;
        HANDLE h = CreateFileA(beside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS) continue;
            return false;
        }
        DWORD written = 0;
        bool ok = content.empty() ||
                  (WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                   written == content.size());
        ok = FlushFileBuffers(h) && ok;
        ok = CloseHandle(h) && ok;
        ok = ok && MoveFileExA(beside.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!ok) DeleteFileA(beside.c_str());
        return ok;
    }
    return false;
}
#else
// In platform/posix/base/files.cpp.
bool WriteWholeFile(const std::string& file, const std::string& content);
#endif

}  // namespace netid

#endif
