// The UTF-8 window and shell wrappers on both sides. Every window this program opens is
// closed by the program itself: message boxes by a watcher thread, windows by a timer.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "codec/threads.h"
#include "platform/utf8_wrappers.h"
#include "tests/platform/platform_test_support.h"

namespace {

using platform_test::LocalName;
using platform_test::Side;
using platform_test::SideTest;

std::string WindowText(HWND window) {
  wchar_t buffer[512] = {};
  GetWindowTextW(window, buffer, 512);
  return WideToUtf8(buffer);
}

// Texts for one side: the wide side takes anything; the ANSI side only what the run's
// code page holds.
std::string SampleText(bool wide, const char* what) {
  if (wide) return std::string(what) + " \xC3\xA9\xE8\xA1\xA8\xE3\x82\xBD \xF0\x9F\x98\x80";
  return std::string(what) + " " + LocalName();
}

// Watches the thread's windows for a message box, records its caption and text and
// presses OK. Gives up after a while, so that a box that never shows fails the test.
class MessageBoxCloser {
 public:
  explicit MessageBoxCloser(DWORD thread) : thread_(thread) { started_ = worker_.Start([this] { Run(); }); }
  ~MessageBoxCloser() {
    stop_ = true;
    worker_.Join();
  }
  bool Started() const { return started_; }
  bool Found() const { return found_; }
  std::string Caption;
  std::string Text;

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM self_pointer) {
    auto* self = reinterpret_cast<MessageBoxCloser*>(self_pointer);
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 64);
    if (std::wstring(class_name) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    self->Caption = WindowText(window);
    wchar_t text[512] = {};
    GetDlgItemTextW(window, 0xFFFF, text, 512);
    self->Text = WideToUtf8(text);
    self->found_ = true;
    PostMessageW(window, WM_COMMAND, IDOK, 0);
    return FALSE;
  }
  void Run() {
    for (int i = 0; i < 600 && !stop_ && !found_; ++i) {
      Sleep(50);
      EnumThreadWindows(thread_, Visit, reinterpret_cast<LPARAM>(this));
    }
  }
  DWORD thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> found_{false};
  bool started_ = false;
  gca::Thread worker_;
};

class Wrappers : public SideTest {};

TEST_P(Wrappers, MessageBoxShowsTheTexts) {
  const std::string text = SampleText(Wide(), "Text");
  const std::string caption = SampleText(Wide(), "Caption");
  int result;
  std::string seen_caption, seen_text;
  bool found;
  {
    MessageBoxCloser closer(GetCurrentThreadId());
    ASSERT_TRUE(closer.Started());
    result = MessageBoxUtf8(nullptr, text, caption, MB_OK);
    found = closer.Found();
    seen_caption = closer.Caption;
    seen_text = closer.Text;
  }
  ASSERT_TRUE(found);
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(seen_caption, caption);
  EXPECT_EQ(seen_text, text);
}

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_TIMER) {
    KillTimer(window, w);
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
  }
  return DefWindowProcW(window, message, w, l);
}

// Runs the window's messages until a timer has closed it.
bool CloseByTimer(HWND window) {
  SetTimer(window, 1, 200, nullptr);
  const DWORD start = GetTickCount();
  MSG message;
  while (IsWindow(window) && GetTickCount() - start < 20000) {
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
  }
  const bool closed = !IsWindow(window);
  if (!closed) DestroyWindow(window);
  return closed;
}

class WindowClass {
 public:
  explicit WindowClass(const std::string& name) : name_(Utf8ToWide(name)) {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = TestWindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = name_.c_str();
    registered_ = RegisterClassW(&window_class) != 0;
  }
  ~WindowClass() { UnregisterClassW(name_.c_str(), GetModuleHandleW(nullptr)); }
  bool Registered() const { return registered_; }

 private:
  std::wstring name_;
  bool registered_ = false;
};

void CheckWindowAndControl(bool wide) {
  const std::string class_name = "GuTestWindow" + LocalName();
  WindowClass window_class(class_name);
  ASSERT_TRUE(window_class.Registered());
  const std::string title = SampleText(wide, "Window");
  HWND window = CreateWindowUtf8(0, class_name, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 400, 200,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(WindowText(window), title);
  HWND label = CreateWindowUtf8(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 10, 10, 300, 30, window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(100)), GetModuleHandleW(nullptr),
                                nullptr);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(WindowText(label), "");
  const std::string text = SampleText(wide, "Label");
  EXPECT_TRUE(SetDlgItemTextUtf8(window, 100, text));
  EXPECT_EQ(WindowText(label), text);
  EXPECT_FALSE(SetDlgItemTextUtf8(window, 101, text));
  EXPECT_TRUE(CloseByTimer(window));
}

TEST_P(Wrappers, WindowAndControlTexts) { CheckWindowAndControl(Wide()); }

TEST(WrappersFallback, MissingWideEntriesUseTheAnsiOnes) {
  ASSERT_TRUE(IsWideSystem());
  auto* create = WideApi.CreateWindowExW;
  auto* set_text = WideApi.SetDlgItemTextW;
  WideApi.CreateWindowExW = nullptr;
  WideApi.SetDlgItemTextW = nullptr;
  CheckWindowAndControl(false);
  WideApi.CreateWindowExW = create;
  WideApi.SetDlgItemTextW = set_text;
}

std::string ModuleDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return WideToUtf8(text.substr(0, text.rfind(L'\\')));
}

// Waits for the target's report and returns its two lines.
bool ReadTargetReport(const std::string& directory, std::wstring& command_line, std::wstring& current) {
  const std::wstring path = Utf8ToWide(directory + "\\shell_target.out");
  for (int i = 0; i < 600; ++i) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      wchar_t buffer[2048] = {};
      DWORD read = 0;
      ReadFile(file, buffer, sizeof buffer - sizeof(wchar_t), &read, nullptr);
      CloseHandle(file);
      DeleteFileW(path.c_str());
      std::wstring text(buffer);
      const size_t first = text.find(L'\n');
      if (first == std::wstring::npos) return false;
      command_line = text.substr(0, first);
      current = text.substr(first + 1, text.find(L'\n', first + 1) - first - 1);
      return true;
    }
    Sleep(50);
  }
  return false;
}

class ShellExecuteUtf8Test : public SideTest {
 protected:
  void SetUp() override {
    SideTest::SetUp();
    directory_ = platform_test::WideSystemTempDirectory() + "\\gu_shell_" + LocalName() + "_" +
                 std::to_string(GetCurrentProcessId()) + (Wide() ? "w" : "a");
    CreateDirectoryW(Utf8ToWide(directory_).c_str(), nullptr);
    target_ = directory_ + "\\target " + LocalName() + ".exe";
    ASSERT_TRUE(CopyFileW(Utf8ToWide(ModuleDirectory() + "\\shell_target.exe").c_str(),
                          Utf8ToWide(target_).c_str(), FALSE));
  }
  void TearDown() override {
    DeleteFileW(Utf8ToWide(target_).c_str());
    RemoveDirectoryW(Utf8ToWide(directory_).c_str());
    SideTest::TearDown();
  }
  std::string directory_;
  std::string target_;
};

TEST_P(ShellExecuteUtf8Test, DefaultVerbParametersAndDirectory) {
  const std::string parameters = "first " + LocalName();
  // Empty operation and directory: the default verb, the system's choice of directory.
  HINSTANCE result = ShellExecuteUtf8(nullptr, "", "\"" + target_ + "\"", parameters, "", SW_SHOWNORMAL);
  ASSERT_GT(reinterpret_cast<INT_PTR>(result), 32);
  std::wstring command_line, current;
  ASSERT_TRUE(ReadTargetReport(directory_, command_line, current));
  EXPECT_NE(command_line.find(Utf8ToWide(parameters)), std::wstring::npos) << WideToUtf8(command_line);
  EXPECT_NE(command_line.find(Utf8ToWide("target " + LocalName())), std::wstring::npos) << WideToUtf8(command_line);
  // An explicit verb and directory.
  const std::string elsewhere = platform_test::WideSystemTempDirectory();
  result = ShellExecuteUtf8(nullptr, "open", target_, "", elsewhere, SW_SHOWNORMAL);
  ASSERT_GT(reinterpret_cast<INT_PTR>(result), 32);
  ASSERT_TRUE(ReadTargetReport(directory_, command_line, current));
  EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, current.c_str(), -1, Utf8ToWide(elsewhere).c_str(), -1),
            CSTR_EQUAL)
      << WideToUtf8(current);
  // A missing file is the system's failure value, passed back unchanged.
  result = ShellExecuteUtf8(nullptr, "", directory_ + "\\missing.exe", "", "", SW_SHOWNORMAL);
  EXPECT_LE(reinterpret_cast<INT_PTR>(result), 32);
}

INSTANTIATE_TEST_SUITE_P(BothSides, Wrappers, testing::Values(Side::Wide, Side::Ansi), platform_test::SideName);
INSTANTIATE_TEST_SUITE_P(BothSides, ShellExecuteUtf8Test, testing::Values(Side::Wide, Side::Ansi), platform_test::SideName);

}  // namespace
