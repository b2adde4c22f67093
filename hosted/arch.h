// The architecture of this build as text, for the names of the files both trees
// build: OvraJ2534Mon32.dll in the 32-bit tree, OvraJ2534Mon64.dll in the 64-bit one.
//   L"OvraJ2534Mon" VARROW_BITS_TEXT L".dll"
#pragma once

#if defined(_WIN64)
#define VARROW_BITS_TEXT "64"
#else
#define VARROW_BITS_TEXT "32"
#endif
