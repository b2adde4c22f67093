/* A library that does nothing but load: the monitor library of the tests that
   switch monitoring off while another process has the monitor copy loaded. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}

__declspec(dllexport) int VarrowStubLibrary(void) { return 1; }
