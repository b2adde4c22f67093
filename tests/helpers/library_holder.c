/* Holds a library loaded, as a running diagnostic program holds its interface
   library, until told to let go.
     library_holder <library> <marker>
   Loads <library>, creates the file <marker> to say it holds it, and waits
   until <marker> is deleted (at most two minutes); then frees the library and
   exits. Exit code 2: the library did not load; 3: the marker could not be
   made. */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 1;
  HMODULE library = LoadLibraryW(argv[1]);
  if (library == NULL) return 2;
  HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker == INVALID_HANDLE_VALUE) {
    FreeLibrary(library);
    return 3;
  }
  CloseHandle(marker);
  for (int waited = 0; waited < 120000; waited += 10) {
    if (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) break;
    Sleep(10);
  }
  FreeLibrary(library);
  return 0;
}
