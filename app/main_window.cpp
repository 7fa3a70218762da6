#include "app/main_window.h"

#include <ole2.h>

#include <memory>

#include "app/app_globals.h"
#include "platform/frame_window.h"
#include "platform/text.h"
#include "platform/utf8_wrappers.h"
#include "platform/worker_thread.h"

namespace {

constexpr int kProgramIconId = 101;

// Everything the windows share while RunMainWindow runs. The handlers reach it through
// one pointer; all of it lives on the main thread except the worker thread object.
struct WindowState {
  HINSTANCE instance = nullptr;
  FrameWindow main;
  FrameWindow progress;
  WorkerThread worker;
  WindowUpdateUi ui;
  // Set by the first Start command; a second one (already queued when the main window
  // was hidden) must not wait on the running update from the main thread.
  bool update_started = false;
};

WindowState* g_state = nullptr;

struct ControlLayout {
  const char* class_name;
  int id;
  int x, y, width, height;
  DWORD style;
  DWORD extended_style;
};

constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kEditStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL;
constexpr DWORD kDefaultButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

HWND CreateControl(const ControlLayout& layout, const std::string& text, HWND parent,
                   HINSTANCE instance) {
  return CreateWindowUtf8(layout.extended_style, layout.class_name, text, layout.style, layout.x,
                          layout.y, layout.width, layout.height, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), instance,
                          nullptr);
}

HWND BuildMainWindow(WindowState& state) {
  FrameWindow& main = state.main;
  main.SetSize(500, 182);
  main.SetMinimumClientSize(500, 182);
  main.SetEnforceMinimumClient(true);
  main.SetStyle(WS_POPUP | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU);
  main.SetBackground(FrameWindow::kButtonFace);
  main.SetIcon(LoadIconA(state.instance, MAKEINTRESOURCEA(kProgramIconId)));
  main.SetSmallIcon(nullptr);
  main.SetTitle(WindowTitle);
  main.AddHandler(WM_COMMAND, &HandleMainCommand);
  HWND window = main.CreateTopLevel(state.instance, WindowTitle, SW_SHOWNORMAL);
  if (window == nullptr) return nullptr;
  main.EnforceMinimumClientSize();
  main.SetDialog(window);

  static const ControlLayout kControls[] = {
      {"STATIC", kLabelId, 16, 16, 468, 20, kLabelStyle, 0},
      {"STATIC", kLabelId, 16, 56, 120, 20, kLabelStyle, 0},
      {"STATIC", kLabelId, 16, 96, 120, 20, kLabelStyle, 0},
      {"EDIT", kInstallPathEditId, 136, 54, 348, 24, kEditStyle, WS_EX_CLIENTEDGE},
      {"EDIT", kVersionEditId, 136, 94, 148, 24, kEditStyle, WS_EX_CLIENTEDGE},
      {"BUTTON", kStartButtonId, 300, 136, 80, 30, kDefaultButtonStyle, 0},
      {"BUTTON", kFinishButtonId, 400, 136, 80, 30, kButtonStyle, 0},
  };
  const std::string texts[] = {
      AnsiToUtf8("Update Application"),
      AnsiToUtf8("Installed Path"),
      AnsiToUtf8("Version"),
      InstallPath,
      OldVersion + " >> " + NewVersion,
      AnsiToUtf8("Start"),
      AnsiToUtf8("Finish"),
  };
  for (size_t i = 0; i < sizeof(kControls) / sizeof(kControls[0]); ++i)
    CreateControl(kControls[i], texts[i], window, state.instance);
  SetFocus(GetDlgItem(window, kStartButtonId));
  return window;
}

void PaintBar(HDC dc, int top, int64_t done, int64_t total) {
  const int filled = BarFillWidth(done, total);
  RECT done_part = {kBarLeft, top, kBarLeft + filled, top + kBarHeight};
  FillRect(dc, &done_part, GetSysColorBrush(COLOR_3DDKSHADOW));
  RECT rest = {kBarLeft + filled, top, kBarLeft + kBarWidth, top + kBarHeight};
  FillRect(dc, &rest, GetSysColorBrush(COLOR_BTNFACE));
}

void FrameBar(HDC dc, int top) {
  RECT frame = {kBarLeft - 2, top - 2, kBarLeft + kBarWidth + 2, top + kBarHeight + 2};
  FrameRect(dc, &frame, GetSysColorBrush(COLOR_3DDKSHADOW));
}

void ShowStartFailure(const char* what, DWORD error) {
  MessageBoxUtf8(nullptr,
                 FormatText("%s (error %lu). Nothing was changed. Run this patch again; if this happens again, "
                            "restart the computer first.",
                            what, static_cast<unsigned long>(error)),
                 WindowTitle, kMessageError);
}

}  // namespace

int BarFillWidth(int64_t done, int64_t total) {
  if (total == 0) return 0;
  double share = static_cast<double>(done) / static_cast<double>(total) * kBarWidth;
  // Clamped before the conversion, so that no count can overflow the integer.
  if (!(share >= 1.0)) return 1;
  if (share > kBarWidth) return kBarWidth;
  return static_cast<int>(share);
}

HWND MainWindowHandle() { return g_state != nullptr ? g_state->main.Window() : nullptr; }

HWND ProgressWindowHandle() { return g_state != nullptr ? g_state->progress.Window() : nullptr; }

int32_t HandleMainCommand(HWND window, UINT, WPARAM wparam, LPARAM) {
  if (g_state == nullptr) return 0;
  HWND main = g_state->main.Window();
  switch (LOWORD(wparam)) {
    case kStartButtonId:
      if (g_state->update_started) break;
      g_state->update_started = true;
      ShowWindow(main, SW_HIDE);
      EnableWindow(main, FALSE);
      CreateProgressWindow();
      g_state->worker.RunOnce();
      break;
    case kFinishButtonId:
      PostMessageA(window, WM_CLOSE, 0, 0);
      break;
    case kUpdateEndedCommand:
      EnableWindow(main, TRUE);
      PostMessageA(main, WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
  return 0;
}

HWND CreateProgressWindow() {
  if (g_state == nullptr) return nullptr;
  FrameWindow& progress = g_state->progress;
  progress.SetSize(400, 150);
  progress.SetStyle(WS_POPUP | WS_CAPTION | WS_SYSMENU);
  progress.SetBackground(FrameWindow::kButtonFace);
  progress.SetIcon(LoadIconA(g_state->main.Instance(), MAKEINTRESOURCEA(kProgramIconId)));
  progress.SetSmallIcon(nullptr);
  // Registered through the ANSI entry point but created by name through the wide one:
  // only the encoded form is the same text on both sides for any title.
  progress.SetClassName(EncodeClassName(WindowTitle + " Progress"));
  progress.SetTitle(WindowTitle);
  progress.AddHandler(WM_PAINT, &PaintProgress);
  HWND window = progress.CreateTopLevel(GetModuleHandleA(nullptr), WindowTitle, SW_SHOW);
  if (window == nullptr) return nullptr;
  const ControlLayout text = {"STATIC", kLabelId, 16, 16, 368, 20, kLabelStyle, 0};
  CreateControl(text, AnsiToUtf8("Now Updating..."), window, progress.Instance());
  return window;
}

int32_t PaintProgress(HWND window, UINT, WPARAM, LPARAM) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  FrameBar(dc, kBarTop);
  FrameBar(dc, kBarTop + kBarGap);
  PaintBar(dc, kBarTop, ItemDone.load(), ItemTotal.load());
  PaintBar(dc, kBarTop + kBarGap, StepDone.load(), StepTotal.load());
  EndPaint(window, &paint);
  return 0;
}

void WindowUpdateUi::Repaint() {
  HWND progress = ProgressWindowHandle();
  // Without a progress window there is nothing to paint (and no window would mean all).
  if (progress == nullptr) return;
  InvalidateRect(progress, nullptr, FALSE);
  UpdateWindow(progress);
}

void WindowUpdateUi::SetProgressText(const std::string& text) {
  SetDlgItemTextUtf8(ProgressWindowHandle(), kLabelId, text);
}

void WindowUpdateUi::ShowMessage(const std::string& text, const std::string& caption,
                                 unsigned style) {
  MessageBoxUtf8(nullptr, text, caption, style);
}

void WindowUpdateUi::OpenDocument(const std::string& path) {
  ShellExecuteUtf8(MainWindowHandle(), "", path, "", "", SW_SHOWNORMAL);
}

void WindowUpdateUi::AnnounceEnd() {
  PostMessageA(MainWindowHandle(), WM_COMMAND, kUpdateEndedCommand, 0);
}

int RunMainWindowWith(HINSTANCE instance, void (*job)(void*)) {
  auto state = std::make_unique<WindowState>();
  state->instance = instance;
  g_state = state.get();
  int exit_code = 0;
  HWND window = BuildMainWindow(*state);
  // Every start shows something: a window, or a message that says why there is none.
  if (window == nullptr) {
    ShowStartFailure("The updater's window could not be created", GetLastError());
  } else if (!state->worker.Start(job)) {
    ShowStartFailure("The updater could not start its work thread", GetLastError());
    DestroyWindow(window);
  } else {
    SetUpdateUi(&state->ui);
    state->main.Run();
    // An update still running finishes before the program ends.
    state->worker.Pause();
    exit_code = static_cast<int>(state->main.ExitCode());
  }
  state->worker.Shutdown();
  SetUpdateUi(nullptr);
  g_state = nullptr;
  return exit_code;
}

