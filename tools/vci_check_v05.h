// VciCheck's J2534 05.00 session (tools/vci_check_v05.cpp).
#pragma once

#include <string>

// Runs the session through the library of the device registered as `device`
// under HKLM\SOFTWARE\PassThruSupport.05.00 (key or Name): discovery, open by
// the name discovery gave, a CAN physical channel with an ISO15765_LOGICAL
// channel per ECU, the VIN, the vehicle's data by queue and select, close.
// `hold` waits for a line of standard input before disconnecting. Prints each
// step; returns 0 when every step succeeded, else 1.
int RunV05Session(const std::wstring& device, bool hold, void (*print)(const std::wstring&));
