// SPDX-License-Identifier: LGPL-2.1-or-later
// The small application framework: strings, arrays, the object base with its
// run-time class record, and the application object with its initialisation.
#ifndef NETID_FRAMEWORK_AFX_H
#define NETID_FRAMEWORK_AFX_H

#include "object.h"
#include "string.h"
#include "arrays.h"
#include "app.h"

#endif
