// Process entry: hands the command line to the application object.
#include <windows.h>

#include "app/varrow_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  try {
    theApp.InitInstance();
  } catch (...) {
    // Nothing of ours reaches the C runtime's start-up code: an unexpected
    // failure (out of memory) ends the program with a code a script can see.
    return 1;
  }
  return 0;
}
