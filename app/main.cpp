// SPDX-License-Identifier: LGPL-2.1-or-later
// setnetid: stores the machine's Net ID, taken from "IP a.b.c.d" on the
// command line, in the registry.
#include "app/run.h"
#include "framework/afx.h"

// The one application object of the process; it has no name.
CWinApp theApp;

int main(int, char**, char**) { return RunSequence(AfxWinInit); }
