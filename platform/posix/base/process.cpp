// SPDX-License-Identifier: LGPL-2.1-or-later
// Process and machine services: the command line, the module handle, the
// computer name, the last error, the time now, whether this is a child of
// fork(), and the runtime's byte-string comparison. Tokens and events are in
// kernel.cpp.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/base/status.h"
#include "platform/posix/base/process.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

const DWORD kErrorBufferOverflow = 111;
const DWORD kErrorModNotFound = 126;

// Quotes one argument the way the Windows runtime parses it back: inside
// double quotes, backslashes before a quote are doubled and the quote escaped.
std::string QuoteArgument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

std::string BuildCommandLine()
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string line;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) {
            end = raw.size();
        }
        if (!line.empty()) {
            line += ' ';
        }
        line += QuoteArgument(raw.substr(start, end - start));
        start = end + 1;
    }
    return line;
}

}  // namespace

namespace netid::posix {

void SetLastErrorCode(DWORD code) { t_lastError = code; }

namespace {
std::atomic<std::uint64_t> g_forkGeneration{0};
void AfterForkInChild() { g_forkGeneration.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

std::uint64_t ForkGeneration()
{
    static const bool registered = pthread_atfork(nullptr, nullptr, &AfterForkInChild) == 0;
    (void)registered;
    return g_forkGeneration.load(std::memory_order_relaxed);
}

std::uint64_t NowAsFileTime()
{
    // 100 ns intervals between 1601-01-01 and 1970-01-01.
    const std::uint64_t kEpochDifference = 116444736000000000ULL;
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return kEpochDifference +
           static_cast<std::uint64_t>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100);
}

}  // namespace netid::posix

LPSTR WINAPI GetCommandLineA(void)
{
    // Built once, like the platform's, and kept for the life of the process
    // (without memory to build it, an empty line this time).
    static char empty[1] = {};
    return netid::posix::ContainedOr<LPSTR>(empty, []() -> LPSTR {
        static std::string* line = new std::string(BuildCommandLine());
        return line->data();
    });
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    static char image;
    if (lpModuleName == nullptr) {
        return reinterpret_cast<HMODULE>(&image);
    }
    t_lastError = kErrorModNotFound;
    return nullptr;
}

BOOL WINAPI GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize)
{
    return netid::posix::ContainedOr<BOOL>(FALSE, [&]() -> BOOL {
        if (nSize == nullptr) {
            t_lastError = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0) {
            t_lastError = ERROR_INVALID_FUNCTION;
            return FALSE;
        }
        // The machine's own name is the first label of the host name.
        std::string name(host);
        name.resize(std::min(name.size(), name.find('.')));
        DWORD length = static_cast<DWORD>(name.size());
        if (lpBuffer == nullptr || *nSize <= length) {
            *nSize = length + 1;
            t_lastError = kErrorBufferOverflow;
            return FALSE;
        }
        std::memcpy(lpBuffer, name.c_str(), length + 1);
        *nSize = length;
        return TRUE;
    });
}

DWORD WINAPI GetLastError(void) { return t_lastError; }

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

int _mbscmp(const unsigned char* a, const unsigned char* b)
{
    return std::strcmp(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b));
}
