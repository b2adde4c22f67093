// VciCheck's D-PDU session (tools/vci_check_pdu.cpp).
#pragma once

#include <string>

// Runs the D-PDU session through the library registered under "PDU API
// Support"; events by callback, or by polling when `polling`. Prints each step;
// returns 0 when every step succeeded, else 1.
int RunPduSession(bool polling, void (*print)(const std::wstring&));
