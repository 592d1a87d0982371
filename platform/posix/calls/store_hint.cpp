// SPDX-License-Identifier: LGPL-2.1-or-later
// The hint on the store directory for failed registry calls (store_hint.h):
// what is wrong with the directory the store uses for this user, else the
// store's own reason when it could not be opened; for a machine out of
// reach, why the remote module could not be loaded.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/calls/reg_remote.h"
#include "platform/store_hint.h"

namespace netid {

namespace {

const char* const kNotWritable = "cannot be written by this user";

// The nearest existing directory at or above `path`.
std::string ExistingAncestor(std::string path)
{
    struct stat st {};
    while (stat(path.c_str(), &st) != 0) {
        if (path == "/" || path == ".") {
            return "";
        }
        size_t slash = path.find_last_of('/');
        path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    }
    return path;
}

// What is wrong with the directory for this user; "" when nothing is.
std::string Problem(const std::string& dir)
{
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        if (errno == ENOTDIR) {
            return "lies beneath something that is not a directory";
        }
        if (errno != ENOENT) {
            return std::string("cannot be reached (") + std::strerror(errno) + ")";
        }
        std::string parent = ExistingAncestor(dir);
        if (parent.empty() || access(parent.c_str(), W_OK | X_OK) != 0) {
            return "does not exist, and this user cannot create it";
        }
        return "";
    }
    if (!S_ISDIR(st.st_mode)) {
        return "is not a directory";
    }
    if (access(dir.c_str(), R_OK | X_OK) != 0) {
        return "cannot be read by this user";
    }
    if (access(dir.c_str(), W_OK) != 0) {
        return kNotWritable;
    }
    return "";
}

}  // namespace

std::string RegistryStoreHint(LONG status)
{
    if (status == ERROR_BAD_NETPATH) {
        // Another machine is out of reach without the remote module.
        const std::string missing = netid::posix::remote::ModuleProblem();
        return missing.empty() ? "" : "Another machine's registry cannot be reached: " + missing + ".";
    }
    bool fromStore = status == ERROR_ACCESS_DENIED || status == ERROR_BADDB || status == ERROR_CANTOPEN ||
                     status == ERROR_CANTREAD || status == ERROR_CANTWRITE || status == ERROR_REGISTRY_CORRUPT ||
                     status == ERROR_REGISTRY_IO_FAILED;
    if (!fromStore) {
        return "";
    }
    const char* fromEnvironment = getenv("NETID_REGISTRY_DIR");
    std::string chosen = fromEnvironment != nullptr && *fromEnvironment != '\0' ? " (from NETID_REGISTRY_DIR)" : "";
    std::string dir = netid::posix::StoreDirectory();
    std::string problem = Problem(dir);
    // Where the directory looks usable, the store's own word on why it could
    // not be used (unsafe to use, not a store of ours, the user's hive
    // directory taken by another user, ...). A directory the user may read
    // but not write is usable: every user reads the machine's store so.
    std::string refused = netid::posix::StoreProblem();
    const bool readable = problem.empty() || problem == kNotWritable;
    if (readable && !refused.empty()) {
        return "The registry store could not be used" + chosen + ": " + refused +
               ". Set NETID_REGISTRY_DIR to use another directory.";
    }
    if (problem.empty() && status == ERROR_ACCESS_DENIED) {
        return "";  // the directory is fine: the key itself refused access
    }
    // The machine's own store (no NETID_REGISTRY_DIR) is root's: a user who
    // may not write it is to run the command as root. A store of their own
    // would not help, as programs run without the variable never read it.
    if (chosen.empty() && status == ERROR_ACCESS_DENIED && geteuid() != 0 &&
        problem == kNotWritable) {
        return "The machine's registry in " + dir +
               " is root's to write: run the command as root (for example with sudo).";
    }
    std::string what = problem.empty() ? "The registry store is kept in " + dir + chosen + "."
                                       : "The registry store directory " + dir + chosen + " " + problem + ".";
    return what + " Set NETID_REGISTRY_DIR to use another directory.";
}

}  // namespace netid
