/* Small driver for the screenshot script, run under Wine next to the program:
 *
 *   window_helper wait  TITLE          wait for the visible window TITLE, let it paint,
 *                                      print its screen rectangle "x y width height"
 *   window_helper click TITLE ID       post BM_CLICK to control ID of that window, wait
 *                                      until the window's size changes, print as above
 *   window_helper close TITLE          post IDCANCEL to that window
 *   window_helper press TITLE ID       post BM_CLICK to control ID and wait until the
 *                                      window has handled it (buttons, check boxes, radios)
 *   window_helper tab TITLE ID INDEX   select tab INDEX of the tab control ID the way
 *                                      the keyboard does (the dialog is notified)
 *   window_helper gone TITLE           wait until no window TITLE is left
 *
 * Exit code 0 on success, 1 when the window or control is missing or nothing
 * changed within the wait (about ten seconds). */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const int kPolls = 200;      /* 200 polls of 50 ms: about ten seconds */
static const DWORD kPollMs = 50;

static HWND FindVisible(const wchar_t *title) {
  for (int i = 0; i < kPolls; ++i) {
    HWND hwnd = FindWindowW(NULL, title);
    if (hwnd != NULL && IsWindowVisible(hwnd)) return hwnd;
    Sleep(kPollMs);
  }
  return NULL;
}

/* Activates the window (an active caption) and waits until its thread has
 * handled what is queued, so that it is painted. */
static void Settle(HWND hwnd) {
  DWORD_PTR ignored = 0;
  SetForegroundWindow(hwnd);
  /* Without a window manager the caption may stay inactive: draw it active. */
  SendMessageTimeoutW(hwnd, WM_NCACTIVATE, TRUE, 0, SMTO_BLOCK, 5000, &ignored);
  SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &ignored);
}

static void PrintRect(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
  fflush(stdout);
}

int wmain(int argc, wchar_t **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: window_helper wait|click|press|tab|close|gone TITLE [ID [INDEX]]\n");
    return 2;
  }
  if (wcscmp(argv[1], L"gone") == 0) {
    for (int i = 0; i < kPolls * 3; ++i) {
      if (FindWindowW(NULL, argv[2]) == NULL) return 0;
      Sleep(kPollMs);
    }
    return 1;
  }
  HWND hwnd = FindVisible(argv[2]);
  if (hwnd == NULL) {
    fprintf(stderr, "window_helper: no visible window titled \"%ls\"\n", argv[2]);
    return 1;
  }
  if (wcscmp(argv[1], L"wait") == 0) {
    Settle(hwnd);
    PrintRect(hwnd);
    return 0;
  }
  if (wcscmp(argv[1], L"click") == 0 && argc >= 4) {
    HWND button = GetDlgItem(hwnd, _wtoi(argv[3]));
    if (button == NULL) {
      fprintf(stderr, "window_helper: no control %ls\n", argv[3]);
      return 1;
    }
    RECT before, now;
    GetWindowRect(hwnd, &before);
    PostMessageW(button, BM_CLICK, 0, 0);
    for (int i = 0; i < kPolls; ++i) {
      Sleep(kPollMs);
      GetWindowRect(hwnd, &now);
      if (now.right - now.left != before.right - before.left ||
          now.bottom - now.top != before.bottom - before.top) {
        Settle(hwnd);
        PrintRect(hwnd);
        return 0;
      }
    }
    fprintf(stderr, "window_helper: the window kept its size\n");
    return 1;
  }
  if (wcscmp(argv[1], L"press") == 0 && argc >= 4) {
    HWND control = GetDlgItem(hwnd, _wtoi(argv[3]));
    if (control == NULL) {
      fprintf(stderr, "window_helper: no control %ls\n", argv[3]);
      return 1;
    }
    PostMessageW(control, BM_CLICK, 0, 0);
    Settle(hwnd);
    return 0;
  }
  if (wcscmp(argv[1], L"tab") == 0 && argc >= 5) {
    HWND tabs = GetDlgItem(hwnd, _wtoi(argv[3]));
    const LRESULT wanted = _wtoi(argv[4]);
    if (tabs == NULL || wanted >= SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0)) {
      fprintf(stderr, "window_helper: no tab %ls in control %ls\n", argv[4], argv[3]);
      return 1;
    }
    /* Arrow keys move the selection one tab at a time and notify the dialog. */
    for (int i = 0; i < 64 && SendMessageW(tabs, TCM_GETCURSEL, 0, 0) != wanted; ++i) {
      const WPARAM key = SendMessageW(tabs, TCM_GETCURSEL, 0, 0) < wanted ? VK_RIGHT : VK_LEFT;
      PostMessageW(tabs, WM_KEYDOWN, key, 0);
      Settle(hwnd);
    }
    return SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == wanted ? 0 : 1;
  }
  if (wcscmp(argv[1], L"close") == 0) {
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return 0;
  }
  fprintf(stderr, "window_helper: unknown command\n");
  return 2;
}
