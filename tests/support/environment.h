// SPDX-License-Identifier: LGPL-2.1-or-later
// What a test run needs of its platform: a registry of its own to write in.
#ifndef NETID_TESTS_SUPPORT_ENVIRONMENT_H
#define NETID_TESTS_SUPPORT_ENVIRONMENT_H

#include <string>

// Called once before any test: on Linux points the store at a fresh
// directory (unless NETID_REGISTRY_DIR is already set); on Windows nothing.
void PrepareTestRegistry();

// Removes what PrepareTestRegistry made, once every test has run.
void CleanupTestRegistry();

// The store directory in use on Linux; empty on Windows.
std::string TestRegistryDirectory();

// Runs a command line through the shell and returns its exit status; the
// standard output and error are captured into `out` and `err` when given.
// The standard input is `input` when given, else empty.
int RunProcess(const std::string& commandLine, std::string* out = nullptr,
               std::string* err = nullptr, const std::string* input = nullptr);

// True when running under Wine rather than Windows or Linux.
bool RunningUnderWine();

#endif
