// The small application framework: strings, arrays, the object base with its
// run-time class record, and the application object with its initialisation.
#ifndef NETID_FRAMEWORK_AFX_H
#define NETID_FRAMEWORK_AFX_H

#include "framework/object.h"
#include "framework/string.h"
#include "framework/arrays.h"
#include "framework/app.h"

#endif
