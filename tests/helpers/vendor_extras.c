/* A stand-in vendor library for the forwarding tests: two J2534 functions
   that the monitor logs, and functions beyond them the monitor only forwards:
   by name (many stack arguments; floating-point arguments in registers on
   x86-64; the thread's last error), by ordinal only, and a data export.
   VendorExtras.def exports them; VendorTooMany.def exports more functions
   than the monitor's pool holds. */
#include <windows.h>

#define VENDOR_API __stdcall

/* Never set: a device opened and closed without hardware. */
long VENDOR_API PassThruOpen(void* name, unsigned long* device) {
  (void)name;
  if (device != NULL) *device = 7;
  return 0;
}

long VENDOR_API PassThruClose(unsigned long device) { return device == 7 ? 0 : 0x1A; }

/* Ten arguments, each weighted by its place: a wrong order or a moved stack
   gives another sum. */
long long VENDOR_API VendorSum10(int a0, int a1, int a2, int a3, int a4, int a5, int a6, int a7,
                                 int a8, int a9) {
  const int args[10] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9};
  long long sum = 0;
  for (int i = 0; i < 10; ++i) sum = sum * 31 + args[i];
  return sum;
}

/* Floating point beside integers: xmm0, xmm1, r8 and xmm3 on x86-64. */
double VENDOR_API VendorScale(double x, float y, int n, double z) { return x * y + n - z / 4.0; }

/* The thread's last error as the caller left it. */
DWORD __cdecl VendorLastError(void) { return GetLastError(); }

/* Exported by ordinal only. */
int VENDOR_API VendorSecret(int x) { return x * 3 + 1; }

/* A data export: a number, not a function. */
__attribute__((used)) const unsigned int VendorBuild = 0x20261208u;
