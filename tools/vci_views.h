// VciCheck's listing per registry view (--list): for the 32-bit view and, on
// 64-bit Windows, the native 64-bit one, every J2534 04.04 and 05.00
// registration and every D-PDU entry (the vendor key "PDU API Support" and
// the entries of the root description file the view names), each library
// with whether it exists, its machine type against the view's and whether it
// is monitored (its original set aside as "_" + name beside it).
#pragma once

#include <string>

// Prints the listing with `print`; returns VciCheck's exit code: 0, or 1 when
// a finding (a missing library, a machine type that does not fit the view, an
// unreadable root file) was listed.
int ListViews(void (*print)(const std::wstring&));
