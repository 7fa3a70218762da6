// Starts the window system of a fresh Wine session once before the window tests: the
// first program that opens a window makes Wine start its desktop and build its font
// caches, which can take longer than a test should wait for a window to appear.
#include <windows.h>

int main() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "GuiWarmup";
  RegisterClassA(&wc);
  // Until the desktop is up, window creation can fail: try for up to a minute.
  HWND w = nullptr;
  for (int i = 0; i < 60 && w == nullptr; ++i) {
    w = CreateWindowA("GuiWarmup", "warm-up", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                      wc.hInstance, nullptr);
    if (w == nullptr) Sleep(1000);
  }
  if (w == nullptr) return 1;
  ShowWindow(w, SW_SHOW);
  HDC dc = GetDC(w);
  TextOutA(dc, 10, 10, "warm-up", 7);
  ReleaseDC(w, dc);
  DestroyWindow(w);
  return 0;
}
