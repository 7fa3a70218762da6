// The window framework: one object per window. It registers a window class of its own for
// the window, routes the window's messages to a table of handlers, runs the message loop,
// sizes and centres the window in the desktop work area and keeps an optional back buffer.
// Class registration uses the ANSI entry points; the window itself is created through the
// UTF-8 wrapper, so its texts may be any UTF-8.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A message handler returns 0 when it has handled the message, anything else when the
// framework's default handling should follow. A handler may also end a message early by
// throwing an int32_t: the window procedure returns that value as the message result.
using MessageHandler = int32_t (*)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The name CreateUnique gives a window: 16 lowercase hexadecimal digits of the process
// identifier widened to 64 bits, then 16 of the object's address sign-extended to 64 bits,
// both little-endian.
std::string FormatUniqueName(uint32_t process_id, intptr_t address);

class FrameWindow {
 public:
  // Bound on the resize passes of SetClientSize while the system refuses the size.
  static constexpr int kMaxSizingPasses = 10;

  FrameWindow();
  FrameWindow(const FrameWindow&) = delete;
  FrameWindow& operator=(const FrameWindow&) = delete;

  // 0 when handled: WM_DESTROY of a window without parent posts quit code 0.
  virtual int32_t OnDefaultMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  // The first handler registered for the message: 0 when it handled it, 1 otherwise
  // (also when no handler is registered).
  virtual int32_t DispatchToHandlers(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  // Pre-translates and dispatches the current message (wheel routing, accelerators,
  // dialog navigation).
  virtual void FilterAndDispatch();
  virtual ~FrameWindow();
  // Registers the class, creates and shows the window; none when either step fails.
  virtual HWND Create(HINSTANCE instance, HWND parent, const std::string& name, int show);
  virtual HWND CreateUnique(HINSTANCE instance, HWND parent, int show);
  virtual HWND CreateTopLevel(HINSTANCE instance, const std::string& name, int show);
  // Releases the back buffer, forgets the window (without destroying it) and unregisters
  // the class.
  virtual void Destroy();
  // Handles the messages that are waiting; false when WM_QUIT was taken.
  virtual bool PumpPending();
  // The message loop of the thread, until WM_QUIT; the quit code stays for ExitCode.
  virtual int Run();
  virtual WPARAM ExitCode();
  virtual void SetDialog(HWND dialog);
  virtual void AddHandler(UINT message, MessageHandler handler);
  virtual void RemoveHandler(UINT message, MessageHandler handler);
  // SetClientSize with the stored width and height; true without change when either is
  // CW_USEDEFAULT.
  virtual bool ApplyClientSize();
  // Resizes until the client area is width by height, then centres; false when the system
  // keeps refusing the size.
  virtual bool SetClientSize(int width, int height);
  virtual bool Centre();
  virtual bool EnforceMinimumWindowSize();
  virtual bool EnforceMinimumClientSize();
  virtual bool CreateBackBuffer(int width, int height);
  virtual bool CreateScreenBackBuffer();
  virtual HDC BackBufferContext();
  // Copies the client-sized top-left part of the back buffer to dc; false without one.
  virtual bool Present(HDC dc);

  virtual HINSTANCE Instance();
  virtual HWND Window();
  virtual void SetClassStyle(UINT class_style);
  virtual DWORD Style();
  virtual void SetStyle(DWORD style);
  virtual void SetExtendedStyle(DWORD extended_style);
  // 1 black, 2 dark grey, 3 grey, 4 light grey, 5 white, 6 button face; others no brush.
  enum Background : int {
    kNoBackground = 0,
    kBlack = 1,
    kDarkGrey = 2,
    kGrey = 3,
    kLightGrey = 4,
    kWhite = 5,
    kButtonFace = 6,
  };
  virtual void SetBackground(int selector);
  virtual HICON Icon();
  virtual HICON SmallIcon();
  virtual void SetIcon(HICON icon);
  virtual void SetSmallIcon(HICON icon);
  virtual void SetCursor(HCURSOR cursor);
  virtual void SetTagText(const std::string& text);
  virtual void SetMenuName(const std::string& name);
  virtual void SetMenu(HMENU menu);
  virtual void SetAccelerators(HACCEL accelerators);
  virtual void SetClassName(const std::string& name);

  void SetCentre(bool centre) { centre_ = centre ? 1 : 0; }
  void SetEnforceMinimumWindow(bool enforce) { enforce_minimum_window_ = enforce ? 1 : 0; }
  void SetEnforceMinimumClient(bool enforce) { enforce_minimum_client_ = enforce ? 1 : 0; }
  void SetPosition(int x, int y) {
    x_ = x;
    y_ = y;
  }
  void SetSize(int width, int height) {
    width_ = width;
    height_ = height;
  }
  void SetMinimumWindowSize(int width, int height) {
    minimum_window_width_ = width;
    minimum_window_height_ = height;
  }
  void SetMinimumClientSize(int width, int height) {
    minimum_client_width_ = width;
    minimum_client_height_ = height;
  }
  void SetTitle(const std::string& title) { title_ = title; }
  void SetUserPair(uint32_t first, uint32_t second) {
    user_first_ = first;
    user_second_ = second;
  }
  uint32_t UserFirst() const { return user_first_; }
  uint32_t UserSecond() const { return user_second_; }
  const std::string& TagText() const { return tag_text_; }
  const std::string& ClassName() const { return class_name_; }
  const std::string& Title() const { return title_; }

 private:
  struct HandlerEntry {
    UINT message;
    MessageHandler handler;
  };

  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam,
                                          LPARAM lparam);
  // Moves the window to width by height, keeping its top-left corner where it is.
  void ResizeInPlace(int width, int height);

  MSG message_;
  HWND window_;
  HINSTANCE instance_;
  HWND parent_;
  int32_t centre_;
  int32_t x_, y_, width_, height_;
  int32_t background_;
  DWORD style_;
  DWORD extended_style_;
  HICON icon_, small_icon_;
  HCURSOR cursor_;
  std::string tag_text_;
  std::string menu_name_;
  std::string title_;
  HMENU menu_;
  HACCEL accelerators_;
  std::string class_name_;
  UINT class_style_;
  HWND dialog_;
  int32_t enforce_minimum_window_;
  int32_t enforce_minimum_client_;
  int32_t minimum_window_width_, minimum_window_height_;
  int32_t minimum_client_width_, minimum_client_height_;
  HDC back_buffer_dc_;
  HBITMAP back_buffer_bitmap_;
  uint32_t user_first_, user_second_;
  std::vector<HandlerEntry> handlers_;
};
