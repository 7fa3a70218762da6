// The updater's entry point: start-up over the system's COM, message boxes and the
// main window.
#include <windows.h>
#include <ole2.h>

#include "app/main_window.h"
#include "app/startup.h"
#include "app/update_worker.h"
#include "platform/utf8_wrappers.h"
#include "platform/wide_api.h"

namespace {

class SystemStartupHost : public StartupHost {
 public:
  explicit SystemStartupHost(HINSTANCE instance) : instance_(instance) {}
  ~SystemStartupHost() override {
    if (com_started_) OleUninitialize();
  }
  SystemStartupHost(const SystemStartupHost&) = delete;
  SystemStartupHost& operator=(const SystemStartupHost&) = delete;
  // COM lives as long as the host: until the windows and the worker have ended.
  long InitializeCom() override {
    const long result = OleInitialize(nullptr);
    com_started_ = SUCCEEDED(result);
    return result;
  }
  void ShowMessage(const std::string& text, const std::string& caption, unsigned style) override {
    MessageBoxUtf8(nullptr, text, caption, style);
  }
  // The windows run the update procedure on their worker thread.
  int RunMainWindow() override { return RunMainWindowWith(instance_, &UpdateWorker); }

 private:
  HINSTANCE instance_;
  bool com_started_ = false;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything can load a library from the program's directory. Both have run
  // already during static initialisation; running them again changes nothing.
  RestrictDllSearch();
  PreloadSystemLibraries();
  SystemStartupHost host(instance);
  RunStartup(host);
  return 0;
}
