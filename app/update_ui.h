// The seam between the update procedure and the user interface. The update worker
// reaches the windows only through this interface: the windows implement it over the
// progress window and the message boxes, tests implement it with a recorder.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

// Progress counters: written only by the worker, read whole by the painter.
extern std::atomic<int64_t> ItemDone;
extern std::atomic<int64_t> ItemTotal;
extern std::atomic<int64_t> StepDone;
extern std::atomic<int64_t> StepTotal;

class UpdateUi {
 public:
  virtual ~UpdateUi() = default;
  // Invalidate the progress window and wait until it has painted the counters.
  virtual void Repaint() = 0;
  // Set the progress window's text control (id 1004).
  virtual void SetProgressText(const std::string& text) = 0;
  // A modal message box owned by no window.
  virtual void ShowMessage(const std::string& text, const std::string& caption, unsigned style) = 0;
  // Open a document with the shell's default verb (owner: the main window).
  virtual void OpenDocument(const std::string& path) = 0;
  // Tell the main window that the update has ended (command 1005).
  virtual void AnnounceEnd() = 0;
};

// The interface the worker uses; none (nothing shown) until the windows or a test set one.
void SetUpdateUi(UpdateUi* ui);
UpdateUi* GetUpdateUi();
