// The main and progress windows, driven from a second thread the way a user would:
// every test ends its own windows and never waits for a person.
#include "app/main_window.h"

#include <gtest/gtest.h>
#include <ole2.h>

#include <atomic>
#include <string>

#include "app/app_globals.h"
#include "codec/threads.h"
#include "platform/text.h"

namespace {

HINSTANCE Module() { return GetModuleHandleA(nullptr); }

void SetGlobals(const std::string& title) {
  WindowTitle = title;
  InstallPath = "C:\\Games\\Example \xC3\xA9";
  OldVersion = "1.0.2";
  NewVersion = "1.1.0";
  ItemDone = 0;
  ItemTotal = 1;
  StepDone = 0;
  StepTotal = 1;
}

// Polls for a top-level window of the class for up to a minute (the first window of a
// fresh Wine session can take long to appear).
HWND WaitForWindow(const std::string& class_name) {
  for (int i = 0; i < 6000; ++i) {
    HWND window = FindWindowA(class_name.c_str(), nullptr);
    if (window != nullptr) return window;
    Sleep(10);
  }
  return nullptr;
}

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

std::wstring ItemText(HWND window, int id) { return TextOf(GetDlgItem(window, id)); }

SIZE ClientSize(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  return SIZE{client.right - client.left, client.bottom - client.top};
}

// Removes what a run leaves behind: a window whose object is gone, and its class.
void DropWindow(const std::string& class_name) {
  HWND window = FindWindowA(class_name.c_str(), nullptr);
  if (window != nullptr) DestroyWindow(window);
  UnregisterClassA(class_name.c_str(), Module());
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
}

// Runs the windows with the given job, the way start-up does.
int RunWindows(void (*job)(void*)) {
  OleInitialize(nullptr);
  return RunMainWindowWith(Module(), job);
}

std::atomic<int> job_runs{0};
void CountingJob(void*) { ++job_runs; }

TEST(ProgressBar, FillWidth) {
  EXPECT_EQ(BarFillWidth(5, 10), 184);
  EXPECT_EQ(BarFillWidth(1, 1000), 1);  // 0.368 is raised to one pixel
  EXPECT_EQ(BarFillWidth(0, 1), 1);
  EXPECT_EQ(BarFillWidth(10, 10), 368);
  EXPECT_EQ(BarFillWidth(0, 0), 0);
  EXPECT_EQ(BarFillWidth(7, 0), 0);
  EXPECT_EQ(BarFillWidth(2, 3), 245);  // 245.33 cut toward zero
  EXPECT_EQ(BarFillWidth(11, 10), 368);
  EXPECT_EQ(BarFillWidth(INT64_MAX, 1), 368);
  EXPECT_EQ(BarFillWidth(-5, 10), 1);
  EXPECT_EQ(BarFillWidth(int64_t{3} << 40, int64_t{4} << 40), 276);
}

TEST(MainWindow, ShowsInstallationAndFinishEndsWithoutUpdate) {
  SetGlobals("Finish Test Update Patch ver. 1.1.0");
  job_runs = 0;
  const DWORD main_thread = GetCurrentThreadId();
  HWND seen_main = nullptr, start = nullptr, focus = nullptr;
  std::wstring title, path, version, start_text, finish_text, first_label;
  SIZE client = {};
  LONG_PTR style = 0;
  bool start_default = false;

  gca::Thread user;
  ASSERT_TRUE(user.Start([&] {
    HWND main = WaitForWindow(EncodeClassName(WindowTitle));
    if (main == nullptr) return;
    seen_main = main;
    title = TextOf(main);
    path = ItemText(main, 1002);
    version = ItemText(main, 1003);
    start_text = ItemText(main, 1000);
    finish_text = ItemText(main, 1001);
    first_label = ItemText(main, 1004);
    client = ClientSize(main);
    style = GetWindowLongPtrA(main, GWL_STYLE);
    start = GetDlgItem(main, 1000);
    start_default = (GetWindowLongPtrA(start, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON;
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (GetGUIThreadInfo(main_thread, &info)) focus = info.hwndFocus;
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, 1001)));
  }));
  EXPECT_EQ(RunWindows(&CountingJob), 0);
  user.Join();

  ASSERT_NE(seen_main, nullptr);
  EXPECT_FALSE(IsWindow(seen_main));  // Finish closed it
  EXPECT_EQ(job_runs.load(), 0);
  EXPECT_EQ(title, L"Finish Test Update Patch ver. 1.1.0");
  EXPECT_EQ(path, L"C:\\Games\\Example \u00E9");
  EXPECT_EQ(version, L"1.0.2 >> 1.1.0");
  EXPECT_EQ(start_text, L"Start");
  EXPECT_EQ(finish_text, L"Finish");
  EXPECT_EQ(first_label, L"Update Application");  // the first of the three labels
  EXPECT_EQ(client.cx, 500);
  EXPECT_EQ(client.cy, 182);
  EXPECT_EQ(static_cast<DWORD>(style) & 0x82C80000u, 0x82C80000u);
  EXPECT_TRUE(start_default);
  EXPECT_EQ(focus, start);
  EXPECT_EQ(MainWindowHandle(), nullptr);
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
}

// What the update job saw of the windows while it ran.
struct JobView {
  bool main_hidden = false;
  bool main_disabled = false;
  std::wstring progress_caption;
  std::wstring initial_text;
  std::wstring final_text;
  SIZE progress_client = {};
  COLORREF frame_top = 0, top_last_filled = 0, top_first_empty = 0;
  COLORREF bottom_first = 0, bottom_second = 0, bottom_frame = 0;
};
JobView view;

void ObservingJob(void*) {
  ++job_runs;
  HWND main = MainWindowHandle();
  HWND progress = ProgressWindowHandle();
  view.main_hidden = !IsWindowVisible(main);
  view.main_disabled = !IsWindowEnabled(main);
  view.progress_caption = TextOf(progress);
  view.initial_text = ItemText(progress, 1004);
  view.progress_client = ClientSize(progress);

  ItemDone = 5;
  ItemTotal = 10;
  StepDone = 1;
  StepTotal = 1000;
  GetUpdateUi()->Repaint();  // returns once the main thread has painted
  HDC dc = GetDC(progress);
  view.frame_top = GetPixel(dc, 11, 48);
  view.top_last_filled = GetPixel(dc, 13 + 183, 60);
  view.top_first_empty = GetPixel(dc, 13 + 184, 60);
  view.bottom_first = GetPixel(dc, 13, 90);
  view.bottom_second = GetPixel(dc, 14, 90);
  view.bottom_frame = GetPixel(dc, 382, 105);
  ReleaseDC(progress, dc);

  GetUpdateUi()->SetProgressText("finished renewal \xE2\x9C\x93");
  view.final_text = ItemText(progress, 1004);
  GetUpdateUi()->AnnounceEnd();
}

TEST(MainWindow, StartRunsUpdateOnceBehindProgressWindowAndEndCloses) {
  // A title outside ASCII: the progress window's class must still be found by name.
  SetGlobals("Jeu \xC3\xA9t\xC3\xA9 Update Patch ver. 1.1.0");
  job_runs = 0;
  view = JobView();
  HWND seen_main = nullptr;
  gca::Thread user;
  ASSERT_TRUE(user.Start([&] {
    HWND main = WaitForWindow(EncodeClassName(WindowTitle));
    if (main == nullptr) return;
    seen_main = main;
    // Two Start commands in a row: the second one is ignored.
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(1000, BN_CLICKED), 0);
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(1000, BN_CLICKED), 0);
  }));
  EXPECT_EQ(RunWindows(&ObservingJob), 0);
  user.Join();

  ASSERT_NE(seen_main, nullptr);
  EXPECT_FALSE(IsWindow(seen_main));  // closed by the end command
  EXPECT_EQ(job_runs.load(), 1);
  EXPECT_TRUE(view.main_hidden);
  EXPECT_TRUE(view.main_disabled);
  EXPECT_EQ(view.progress_caption, L"Jeu \u00E9t\u00E9 Update Patch ver. 1.1.0");
  EXPECT_EQ(view.initial_text, L"Now Updating...");
  EXPECT_EQ(view.final_text, L"finished renewal \u2713");
  EXPECT_GT(view.progress_client.cx, 0);

  const COLORREF dark = GetSysColor(COLOR_3DDKSHADOW);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  ASSERT_NE(dark, face);
  EXPECT_EQ(view.frame_top, dark);
  EXPECT_EQ(view.top_last_filled, dark);  // 5 of 10: 184 pixels
  EXPECT_EQ(view.top_first_empty, face);
  EXPECT_EQ(view.bottom_first, dark);  // 1 of 1000: one pixel
  EXPECT_EQ(view.bottom_second, face);
  EXPECT_EQ(view.bottom_frame, dark);

  // The progress window stays until the process ends; this test removes it itself.
  const std::string progress_class = EncodeClassName(WindowTitle + " Progress");
  EXPECT_NE(FindWindowA(progress_class.c_str(), nullptr), nullptr);
  DropWindow(progress_class);
}

std::atomic<int> job_finished{0};
void JobOutlivingProgressWindow(void*) {
  ++job_runs;
  HWND progress = ProgressWindowHandle();
  for (int i = 0; i < 1000 && IsWindow(progress); ++i) Sleep(10);
  Sleep(100);
  GetUpdateUi()->SetProgressText("too late");  // the window is gone: nothing happens
  GetUpdateUi()->Repaint();
  job_finished = 1;
  GetUpdateUi()->AnnounceEnd();
}

TEST(MainWindow, ClosingProgressWindowEndsLoopButWaitsForUpdate) {
  SetGlobals("Close Test Update Patch ver. 1.1.0");
  job_runs = 0;
  job_finished = 0;
  HWND seen_progress = nullptr;
  gca::Thread user;
  ASSERT_TRUE(user.Start([&] {
    HWND main = WaitForWindow(EncodeClassName(WindowTitle));
    if (main == nullptr) return;
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(1000, BN_CLICKED), 0);
    HWND progress = WaitForWindow(EncodeClassName(WindowTitle + " Progress"));
    seen_progress = progress;
    if (progress == nullptr) {
      PostMessageA(main, WM_CLOSE, 0, 0);
      return;
    }
    PostMessageA(progress, WM_CLOSE, 0, 0);
  }));
  EXPECT_EQ(RunWindows(&JobOutlivingProgressWindow), 0);
  user.Join();
  EXPECT_NE(seen_progress, nullptr);
  EXPECT_EQ(job_runs.load(), 1);
  EXPECT_EQ(job_finished.load(), 1);  // the loop ended first, the run was still awaited

  // The hidden main window is left behind when the loop ends this way.
  DropWindow(EncodeClassName(WindowTitle));
  DropWindow(EncodeClassName(WindowTitle + " Progress"));
}

}  // namespace
