// Process entry: hands the command line to the application object.
#include <windows.h>

#include "app/varrow_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  theApp.InitInstance();
  return 0;
}
