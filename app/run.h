// SPDX-License-Identifier: LGPL-2.1-or-later
// The tool's run sequence, with the framework initialisation as a seam.
#ifndef NETID_APP_RUN_H
#define NETID_APP_RUN_H

#include "platform/win32.h"

typedef BOOL (*FrameworkInit)(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine,
                              int nCmdShow);

// Initialises the framework through `init`, finds the address after "IP" on
// the raw command line and writes the Net ID record. Returns the exit status.
int RunSequence(FrameworkInit init);

#endif
