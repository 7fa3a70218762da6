// The updater's two windows: the main window (what will be patched, Start and Finish) and
// the progress window (two bars and one line of text that follow the update worker).
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "app/update_ui.h"

// Control and command ids.
enum : int {
  kStartButtonId = 1000,
  kFinishButtonId = 1001,
  kInstallPathEditId = 1002,
  kVersionEditId = 1003,
  kLabelId = 1004,  // the labels and the progress text
  kUpdateEndedCommand = 1005,
};

// Progress bar geometry in client pixels; the bottom bar lies one gap below the top bar.
constexpr int kBarLeft = 13;
constexpr int kBarTop = 50;
constexpr int kBarWidth = 368;
constexpr int kBarHeight = 22;
constexpr int kBarGap = 32;

// Filled width of a bar showing done of total: 0 for a total of 0, otherwise the share of
// the bar width cut toward zero and kept between 1 and the bar width.
int BarFillWidth(int64_t done, int64_t total);

// The last phase of start-up: shows the main window, starts the worker thread with the
// job it is handed (the update procedure, from the program's entry point), runs the
// message loop, waits for a running job and gives the exit code.
int RunMainWindowWith(HINSTANCE instance, void (*job)(void*));

// Sets up and shows the progress window with its text control.
HWND CreateProgressWindow();

// WM_COMMAND handler of the main window.
int32_t HandleMainCommand(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// WM_PAINT handler of the progress window.
int32_t PaintProgress(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The windows while RunMainWindow runs; none otherwise.
HWND MainWindowHandle();
HWND ProgressWindowHandle();

// The worker's view of the windows.
class WindowUpdateUi : public UpdateUi {
 public:
  void Repaint() override;
  void SetProgressText(const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& caption, unsigned style) override;
  void OpenDocument(const std::string& path) override;
  void AnnounceEnd() override;
};
