// SPDX-License-Identifier: LGPL-2.1-or-later
// Cuts the address argument into four field strings and turns a field into a byte.
#ifndef NETID_APP_ADDRESS_SPLITTER_H
#define NETID_APP_ADDRESS_SPLITTER_H

#include "framework/afx.h"

// Removes every blank from `argument` into `compact`, then cuts four fields
// from it at dots found among the first four characters of what is left.
void SplitAddressArgument(const CString& argument, CString& compact, CString& field1,
                          CString& field2, CString& field3, CString& field4);

// The low eight bits of the field's leading decimal number (0 when it has none).
BYTE ConvertFieldToByte(const CString& field);

// The runtime's text-to-integer conversion: leading white space, one optional
// sign, decimal digits up to the first non-digit. A digit run beyond the
// 32-bit range saturates at INT_MAX or INT_MIN, as the Windows runtime does.
int ParseLeadingInteger(LPCSTR text);

#endif
