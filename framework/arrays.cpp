// SPDX-License-Identifier: LGPL-2.1-or-later
#include "framework/arrays.h"

IMPLEMENT_DYNAMIC(CByteArray, CObject)
IMPLEMENT_DYNAMIC(CStringArray, CObject)
