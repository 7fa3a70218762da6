// drive_updater: drives the updater's windows as a person would, for the end-to-end test
// and the demonstration. It starts the patch program, finds its windows by process and
// caption, reads their texts, presses buttons by sending the messages a click sends,
// watches the progress bars by reading the window's pixels, reads the final message box,
// confirms it, and reports the program's exit code. Everything it sees is printed as
// KEY=value lines for the calling script to check; screenshots are written as BMP files.
//
// Usage: drive_updater MODE PATCH.exe OUTDIR
//   MODE start   press Start, follow the update, confirm the final message
//   MODE finish  press Finish on the main window
//   MODE close   close the main window with its close box (WM_CLOSE)
//   MODE message expect no main window: read and confirm the start-up message box
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

DWORD g_pid = 0;
HANDLE g_process = nullptr;
const DWORD kTimeoutMs = 180000;

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
  return s;
}

std::wstring Wide(const char* s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
  return w;
}

std::string TextOf(HWND w) {
  wchar_t buf[4096];
  LRESULT n = SendMessageTimeoutW(w, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000, nullptr);
  (void)n;
  buf[4095] = 0;
  return Narrow(buf);
}

std::string ClassOf(HWND w) {
  wchar_t buf[256] = {0};
  GetClassNameW(w, buf, 256);
  return Narrow(buf);
}

// One line per value; newlines inside a text are written as \n.
void Report(const char* key, const std::string& value) {
  std::string v;
  for (char c : value) {
    if (c == '\n') v += "\\n";
    else if (c != '\r') v += c;
  }
  std::printf("%s=%s\n", key, v.c_str());
  std::fflush(stdout);
}

struct FindData {
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectTopLevel(HWND w, LPARAM p) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == g_pid) reinterpret_cast<FindData*>(p)->windows.push_back(w);
  return TRUE;
}

std::vector<HWND> ProcessWindows() {
  FindData d;
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&d));
  return d.windows;
}

bool Exited() { return WaitForSingleObject(g_process, 0) == WAIT_OBJECT_0; }

// Waits for a visible top-level window of the patch process that the predicate accepts.
template <typename Pred>
HWND WaitForWindow(Pred pred, DWORD timeout = kTimeoutMs) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeout) {
    for (HWND w : ProcessWindows())
      if (IsWindowVisible(w) && pred(w)) return w;
    if (Exited()) return nullptr;
    Sleep(50);
  }
  return nullptr;
}

BOOL CALLBACK CollectChild(HWND w, LPARAM p) {
  reinterpret_cast<FindData*>(p)->windows.push_back(w);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  FindData d;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&d));
  return d.windows;
}

// Copies the window's client area from the screen into a 32-bit top-down DIB.
struct Capture {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;  // 0x00RRGGBB
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

bool CaptureClient(HWND w, Capture& c) {
  RECT r;
  if (!GetClientRect(w, &r)) return false;
  c.width = r.right;
  c.height = r.bottom;
  if (c.width <= 0 || c.height <= 0) return false;
  HDC wdc = GetDC(w);
  HDC mdc = CreateCompatibleDC(wdc);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = c.width;
  bi.bmiHeader.biHeight = -c.height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(wdc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mdc, bmp);
  BitBlt(mdc, 0, 0, c.width, c.height, wdc, 0, 0, SRCCOPY);
  GdiFlush();
  c.pixels.assign(static_cast<uint32_t*>(bits), static_cast<uint32_t*>(bits) + c.width * c.height);
  SelectObject(mdc, old);
  DeleteObject(bmp);
  DeleteDC(mdc);
  ReleaseDC(w, wdc);
  return true;
}

// Whole window (frame and caption) from the screen, saved as a 24-bit BMP.
void Screenshot(HWND w, const std::string& path) {
  RECT r;
  if (!GetWindowRect(w, &r)) return;
  const int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return;
  HDC sdc = GetDC(nullptr);
  HDC mdc = CreateCompatibleDC(sdc);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(sdc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mdc, bmp);
  BitBlt(mdc, 0, 0, width, height, sdc, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = (width * 3 + 3) & ~3u;
  const DWORD image = stride * height;
  BITMAPFILEHEADER fh = {};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof(fh) + sizeof(bi.bmiHeader);
  fh.bfSize = fh.bfOffBits + image;
  if (FILE* f = _wfopen(Wide(path.c_str()).c_str(), L"wb")) {
    std::fwrite(&fh, sizeof(fh), 1, f);
    std::fwrite(&bi.bmiHeader, sizeof(bi.bmiHeader), 1, f);
    std::fwrite(bits, 1, image, f);
    std::fclose(f);
    Report("SCREENSHOT", path);
  }
  SelectObject(mdc, old);
  DeleteObject(bmp);
  DeleteDC(mdc);
  ReleaseDC(nullptr, sdc);
}

// Filled width of a progress bar: dark-shadow pixels along its middle row.
int BarWidth(const Capture& c, int top) {
  const COLORREF k = GetSysColor(COLOR_3DDKSHADOW);
  const uint32_t want = (GetRValue(k) << 16) | (GetGValue(k) << 8) | GetBValue(k);
  const int y = top + 11;
  if (y >= c.height) return -1;
  int n = 0;
  for (int x = 13; x < 13 + 368 && x < c.width; ++x)
    if ((c.At(x, y) & 0xFFFFFF) == want) ++n;
  return n;
}

bool IsMessageBox(HWND w) { return ClassOf(w) == "#32770"; }

// Whether the window's caption is drawn in the active caption colour on the screen (its
// left end, where a gradient caption starts with that colour).
bool CaptionLooksActive(HWND w) {
  WINDOWINFO info = {};
  info.cbSize = sizeof info;
  if (!GetWindowInfo(w, &info)) return false;
  const int x = info.rcWindow.left + static_cast<int>(info.cxWindowBorders) + 1;
  const int y = info.rcWindow.top + static_cast<int>(info.cyWindowBorders) + GetSystemMetrics(SM_CYCAPTION) / 2;
  HDC screen = GetDC(nullptr);
  const COLORREF pixel = GetPixel(screen, x, y);
  ReleaseDC(nullptr, screen);
  return pixel == GetSysColor(COLOR_ACTIVECAPTION);
}

// Screenshots a message box with its caption as the player sees it. The updater shows its
// messages from its worker thread while its own window is in front, so on the player's
// screen the box is the foreground window and its caption is active. Wine makes it the
// foreground window but may leave its caption painted inactive: the box is told to paint
// it active, and the shot is taken again until it shows so.
void ScreenshotMessageBox(HWND box, const std::string& path) {
  if (GetForegroundWindow() != box) SetForegroundWindow(box);
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (GetForegroundWindow() == box) {
      SendMessageTimeoutW(box, WM_NCACTIVATE, TRUE, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
      Sleep(50);
    }
    if (!CaptionLooksActive(box)) continue;
    Screenshot(box, path);
    if (CaptionLooksActive(box)) return;
  }
  Report("NOTE", "the message box's caption did not show active");
  Screenshot(box, path);
}

// Reads the message box's caption and text, screenshots it and presses its first button.
bool ConfirmMessageBox(HWND box, const std::string& outdir, const char* shot) {
  Report("MESSAGE_CAPTION", TextOf(box));
  std::string text;
  HWND ok = nullptr;
  for (HWND c : Children(box)) {
    const std::string cls = ClassOf(c);
    const int id = GetDlgCtrlID(c);
    if (cls == "Static" || cls == "STATIC") {
      const std::string t = TextOf(c);
      if (!t.empty() && (id == 0xFFFF || text.empty())) text = t;
    }
    if ((cls == "Button" || cls == "BUTTON") && (id == IDOK || ok == nullptr)) ok = c;
  }
  Report("MESSAGE_TEXT", text);
  Sleep(300);
  ScreenshotMessageBox(box, outdir + "\\" + shot);
  if (!ok) return false;
  SendMessageTimeoutW(ok, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
  return true;
}

int Finish() {
  if (WaitForSingleObject(g_process, kTimeoutMs) != WAIT_OBJECT_0) {
    Report("ERROR", "the patch program did not end");
    TerminateProcess(g_process, 99);
    return 1;
  }
  DWORD code = 0;
  GetExitCodeProcess(g_process, &code);
  Report("EXIT_CODE", std::to_string(code));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: drive_updater start|finish|close|message PATCH.exe OUTDIR\n");
    return 2;
  }
  const std::wstring mode = argv[1];
  const std::string outdir = Narrow(argv[3]);
  CreateDirectoryW(argv[3], nullptr);

  std::wstring cmd = L"\"" + std::wstring(argv[2]) + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(argv[2], &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    Report("ERROR", "cannot start the patch program");
    return 1;
  }
  g_pid = pi.dwProcessId;
  g_process = pi.hProcess;
  CloseHandle(pi.hThread);

  if (mode == L"message") {
    HWND box = WaitForWindow(IsMessageBox);
    if (!box) {
      Report("ERROR", "no message box");
      return Finish() + 1;
    }
    ConfirmMessageBox(box, outdir, "startup-message.bmp");
    return Finish();
  }

  // The main window: the first visible top-level window that has a "Start" button.
  HWND main = WaitForWindow([](HWND w) {
    if (IsMessageBox(w)) return true;
    for (HWND c : Children(w))
      if (GetDlgCtrlID(c) == 1000) return true;
    return false;
  });
  if (!main) {
    Report("ERROR", "no main window");
    return Finish() + 1;
  }
  if (IsMessageBox(main)) {
    Report("ERROR", "a message box came instead of the main window");
    ConfirmMessageBox(main, outdir, "unexpected-message.bmp");
    Finish();
    return 1;
  }
  Report("MAIN_CAPTION", TextOf(main));
  {
    RECT r;
    GetClientRect(main, &r);
    Report("MAIN_CLIENT", std::to_string(r.right) + "x" + std::to_string(r.bottom));
  }
  int index = 0;
  for (HWND c : Children(main)) {
    RECT r;
    GetWindowRect(c, &r);
    POINT p = {r.left, r.top};
    ScreenToClient(main, &p);
    char key[32];
    std::snprintf(key, sizeof key, "CONTROL%d", index++);
    Report(key, ClassOf(c) + "|" + std::to_string(GetDlgCtrlID(c)) + "|" + std::to_string(p.x) + "," +
                    std::to_string(p.y) + "," + std::to_string(r.right - r.left) + "x" +
                    std::to_string(r.bottom - r.top) + "|" + TextOf(c));
  }
  Sleep(300);
  Screenshot(main, outdir + "\\main-window.bmp");

  if (mode == L"finish" || mode == L"close") {
    if (mode == L"finish") {
      HWND finish = GetDlgItem(main, 1001);
      SendMessageTimeoutW(finish, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    } else {
      PostMessageW(main, WM_CLOSE, 0, 0);
    }
    return Finish();
  }

  HWND start = GetDlgItem(main, 1000);
  SendMessageTimeoutW(start, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);

  // The progress window: visible, not the main window, with the "Now Updating..." text.
  HWND progress = WaitForWindow([main](HWND w) { return w != main && !IsMessageBox(w); }, 60000);
  if (!progress) {
    Report("ERROR", "no progress window");
  } else {
    Report("PROGRESS_CAPTION", TextOf(progress));
    for (HWND c : Children(progress))
      if (GetDlgCtrlID(c) == 1004) Report("PROGRESS_TEXT", TextOf(c));
  }

  // Follow the bars until the final message box appears.
  HWND box = nullptr;
  int samples = 0, last_top = -2, last_bottom = -2;
  bool mid_shot = false;
  const DWORD begin = GetTickCount();
  while (GetTickCount() - begin < kTimeoutMs) {
    for (HWND w : ProcessWindows())
      if (IsWindowVisible(w) && IsMessageBox(w)) box = w;
    if (box || Exited()) break;
    if (progress) {
      Capture c;
      if (CaptureClient(progress, c)) {
        const int top = BarWidth(c, 50), bottom = BarWidth(c, 82);
        if (top != last_top || bottom != last_bottom) {
          Report("BARS", std::to_string(top) + " " + std::to_string(bottom));
          last_top = top;
          last_bottom = bottom;
          ++samples;
        }
        if (!mid_shot && bottom > 1 && bottom < 368) {
          Screenshot(progress, outdir + "\\progress-window.bmp");
          mid_shot = true;
        }
      }
    }
    Sleep(5);
  }
  if (progress && box) {
    // The final message box is centred over the progress window: move it aside so that
    // the bars can be read as they are painted at the end.
    RECT r;
    GetWindowRect(box, &r);
    SetWindowPos(box, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    RedrawWindow(progress, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    Sleep(500);
  }
  if (progress) {
    for (HWND c : Children(progress))
      if (GetDlgCtrlID(c) == 1004) Report("PROGRESS_TEXT_END", TextOf(c));
    Capture c;
    if (CaptureClient(progress, c)) Report("BARS_END", std::to_string(BarWidth(c, 50)) + " " + std::to_string(BarWidth(c, 82)));
    if (!mid_shot) Screenshot(progress, outdir + "\\progress-window.bmp");
  }
  if (!box) {
    Report("ERROR", "no final message box");
    return Finish() + 1;
  }
  ConfirmMessageBox(box, outdir, "final-message.bmp");
  return Finish();
}
