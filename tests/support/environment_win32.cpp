// SPDX-License-Identifier: LGPL-2.1-or-later
// The test environment on Windows: the tests use the machine's own registry
// (each test under its own HKEY_CURRENT_USER key), and child processes are
// started with CreateProcess, their output collected in temporary files.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/environment.h"

namespace {

// A child that could not be started or waited for is rare and seen only under
// load; the step and the system's error go to stderr so that the failing run
// says which it was.
int Failed(const char* step)
{
    std::fprintf(stderr, "RunProcess: %s failed (error %lu)\n", step,
                 static_cast<unsigned long>(GetLastError()));
    return -1;
}

// A temporary file that a child process can inherit as its output handle.
class CaptureFile {
public:
    CaptureFile()
    {
        char dir[MAX_PATH + 1] = {};
        char name[MAX_PATH + 1] = {};
        DWORD length = GetTempPathA(sizeof(dir), dir);
        if (length == 0 || length > sizeof(dir) || GetTempFileNameA(dir, "nid", 0, name) == 0) {
            return;
        }
        m_path = name;
        SECURITY_ATTRIBUTES inherit = {static_cast<DWORD>(sizeof(inherit)), nullptr, TRUE};
        m_handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    }
    ~CaptureFile()
    {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        if (!m_path.empty()) DeleteFileA(m_path.c_str());
    }
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    HANDLE Handle() const { return m_handle; }

    // Everything the child wrote.
    std::string Contents() const
    {
        std::string text;
        if (m_handle == INVALID_HANDLE_VALUE ||
            SetFilePointer(m_handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
            return text;
        }
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(m_handle, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            text.append(buffer, got);
        }
        return text;
    }

private:
    std::string m_path;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

}  // namespace

void PrepareTestRegistry() {}

void CleanupTestRegistry() {}

std::string TestRegistryDirectory() { return std::string(); }

int RunProcess(const std::string& commandLine, std::string* out, std::string* err, const std::string* text)
{
    CaptureFile outFile;
    CaptureFile errFile;
    CaptureFile inFile;
    HANDLE input = inFile.Handle();
    if (outFile.Handle() == INVALID_HANDLE_VALUE || errFile.Handle() == INVALID_HANDLE_VALUE ||
        input == INVALID_HANDLE_VALUE) {
        return Failed("making the capture files");
    }
    // The child reads the given text from the start of its own file.
    DWORD written = 0;
    if (text != nullptr && !text->empty() &&
        (!WriteFile(input, text->data(), static_cast<DWORD>(text->size()), &written, nullptr) ||
         written != text->size())) {
        return Failed("writing the child's input");
    }
    if (SetFilePointer(input, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        return Failed("rewinding the child's input");
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outFile.Handle();
    startup.hStdError = errFile.Handle();
    PROCESS_INFORMATION process = {};

    // CreateProcess may write into the command line, so it gets its own copy.
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    // Under load Wine now and then fails to start a child; the child has not run
    // then, so starting it again changes nothing the test looks at.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        std::vector<char> copy = line;
        started = CreateProcessA(nullptr, copy.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &process);
    }
    if (!started) {
        return Failed("CreateProcess");
    }
    CloseHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) {
        CloseHandle(process.hProcess);
        return Failed("waiting for the child");
    }
    DWORD exitCode = 0;
    BOOL gotCode = GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);

    if (out != nullptr) *out = outFile.Contents();
    if (err != nullptr) *err = errFile.Contents();
    return gotCode ? static_cast<int>(exitCode) : Failed("GetExitCodeProcess");
}

bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
