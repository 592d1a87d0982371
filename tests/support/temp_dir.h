// SPDX-License-Identifier: LGPL-2.1-or-later
// A directory of a test's own, removed with everything in it afterwards, and
// a file read whole: what the Linux tests of files and processes share.
#ifndef NETID_TESTS_SUPPORT_TEMP_DIR_H
#define NETID_TESTS_SUPPORT_TEMP_DIR_H

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TempDir {
public:
    explicit TempDir(const std::string& label = "netid-test")
    {
        std::string pattern = "/tmp/" + label + "-XXXXXX";
        m_path = mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        if (m_fd >= 0) close(m_fd);
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    // The directory opened, for calls relative to it.
    int Fd() const
    {
        if (m_fd < 0) m_fd = open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return m_fd;
    }

private:
    std::string m_path;
    mutable int m_fd = -1;
};

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

#endif
