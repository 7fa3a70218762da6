#include "platform/frame_window.h"

#include <algorithm>

#include "platform/text.h"
#include "platform/utf8_wrappers.h"

std::string FormatUniqueName(uint32_t process_id, intptr_t address) {
  const uint64_t process = process_id;
  const uint64_t object = static_cast<uint64_t>(static_cast<int64_t>(address));
  unsigned char bytes[16];
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<unsigned char>(process >> (8 * i));
    bytes[8 + i] = static_cast<unsigned char>(object >> (8 * i));
  }
  return BytesToHex(bytes, 8) + BytesToHex(bytes + 8, 8);
}

FrameWindow::FrameWindow()
    : message_(),
      window_(nullptr),
      instance_(nullptr),
      parent_(nullptr),
      centre_(1),
      x_(CW_USEDEFAULT),
      y_(CW_USEDEFAULT),
      width_(CW_USEDEFAULT),
      height_(CW_USEDEFAULT),
      background_(0),
      style_(WS_CAPTION | WS_SYSMENU),
      extended_style_(0),
      icon_(LoadIconA(nullptr, IDI_APPLICATION)),
      small_icon_(LoadIconA(nullptr, IDI_APPLICATION)),
      cursor_(LoadCursorA(nullptr, IDC_ARROW)),
      menu_(nullptr),
      accelerators_(nullptr),
      class_style_(CS_DBLCLKS),
      dialog_(nullptr),
      enforce_minimum_window_(0),
      enforce_minimum_client_(1),
      minimum_window_width_(0),
      minimum_window_height_(0),
      minimum_client_width_(0),
      minimum_client_height_(0),
      back_buffer_dc_(nullptr),
      back_buffer_bitmap_(nullptr),
      user_first_(0),
      user_second_(0) {}

FrameWindow::~FrameWindow() { Destroy(); }

LRESULT CALLBACK FrameWindow::WindowProcedure(HWND window, UINT message, WPARAM wparam,
                                              LPARAM lparam) {
  if (message == WM_NCCREATE) {
    // The creation parameter sits at the same place in the ANSI and the wide record.
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    auto* self = static_cast<FrameWindow*>(create->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    if (self != nullptr) self->window_ = window;
  }
  auto* self = reinterpret_cast<FrameWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(window, message, wparam, lparam);
  try {
    if (self->DispatchToHandlers(window, message, wparam, lparam) == 0) return 0;
    if (self->OnDefaultMessage(window, message, wparam, lparam) == 0) return 0;
  } catch (int32_t result) {
    return result;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

int32_t FrameWindow::OnDefaultMessage(HWND, UINT message, WPARAM, LPARAM) {
  if (message == WM_DESTROY && parent_ == nullptr) {
    PostQuitMessage(0);
    return 0;
  }
  return 1;
}

int32_t FrameWindow::DispatchToHandlers(HWND window, UINT message, WPARAM wparam,
                                        LPARAM lparam) {
  for (const HandlerEntry& entry : handlers_) {
    if (entry.message != message) continue;
    // Copied out: the handler may change the table while it runs.
    MessageHandler handler = entry.handler;
    return handler(window, message, wparam, lparam) == 0 ? 0 : 1;
  }
  return 1;
}

void FrameWindow::FilterAndDispatch() {
  if (message_.message == WM_MOUSEWHEEL) {
    // Wheel messages go to the focus window; deliver them to the child under the
    // cursor instead, and only while the cursor is over this window's client area.
    POINT point = {static_cast<short>(LOWORD(message_.lParam)),
                   static_cast<short>(HIWORD(message_.lParam))};
    HWND under = WindowFromPoint(point);
    if (under != nullptr && IsChild(window_, under)) message_.hwnd = under;
    ScreenToClient(window_, &point);
    RECT client;
    GetClientRect(window_, &client);
    if (point.x >= client.left && point.x < client.right && point.y >= client.top &&
        point.y < client.bottom) {
      DispatchMessageA(&message_);
    }
    return;
  }
  if (accelerators_ != nullptr && TranslateAcceleratorA(window_, accelerators_, &message_))
    return;
  if (dialog_ != nullptr && IsWindow(dialog_) && IsDialogMessageA(dialog_, &message_)) return;
  TranslateMessage(&message_);
  DispatchMessageA(&message_);
}

HWND FrameWindow::Create(HINSTANCE instance, HWND parent, const std::string& name, int show) {
  instance_ = instance;
  parent_ = parent;
  if (class_name_.empty()) class_name_ = EncodeClassName(name);

  static const int kStockBrushes[5] = {BLACK_BRUSH, DKGRAY_BRUSH, GRAY_BRUSH, LTGRAY_BRUSH,
                                       WHITE_BRUSH};
  HBRUSH background = nullptr;
  if (background_ >= 1 && background_ <= 5) {
    background = static_cast<HBRUSH>(GetStockObject(kStockBrushes[background_ - 1]));
  } else if (background_ == 6) {
    background = GetSysColorBrush(COLOR_BTNFACE);
  }

  WNDCLASSEXA window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.style = class_style_;
  window_class.lpfnWndProc = &FrameWindow::WindowProcedure;
  window_class.cbClsExtra = 0;
  window_class.cbWndExtra = 0;
  window_class.hInstance = instance_;
  window_class.hIcon = icon_;
  window_class.hCursor = cursor_;
  window_class.hbrBackground = background;
  window_class.lpszMenuName = menu_name_.empty() ? nullptr : menu_name_.c_str();
  window_class.lpszClassName = class_name_.c_str();
  window_class.hIconSm = small_icon_;
  if (RegisterClassExA(&window_class) == 0) return nullptr;

  if (title_.empty()) title_ = name;
  window_ = CreateWindowUtf8(extended_style_, class_name_, title_, style_, x_, y_, width_,
                             height_, parent_, menu_, instance_, this);
  if (window_ == nullptr) return nullptr;
  if (parent_ == nullptr) {
    if (enforce_minimum_window_) EnforceMinimumWindowSize();
    if (enforce_minimum_client_) EnforceMinimumClientSize();
    Centre();
  }
  ShowWindow(window_, show);
  UpdateWindow(window_);
  return window_;
}

HWND FrameWindow::CreateUnique(HINSTANCE instance, HWND parent, int show) {
  return Create(instance, parent,
                FormatUniqueName(GetCurrentProcessId(), reinterpret_cast<intptr_t>(this)), show);
}

HWND FrameWindow::CreateTopLevel(HINSTANCE instance, const std::string& name, int show) {
  return Create(instance, nullptr, name, show);
}

void FrameWindow::Destroy() {
  if (back_buffer_dc_ != nullptr) DeleteDC(back_buffer_dc_);
  if (back_buffer_bitmap_ != nullptr) DeleteObject(back_buffer_bitmap_);
  back_buffer_dc_ = nullptr;
  back_buffer_bitmap_ = nullptr;
  // A window that outlives its object must no longer reach it.
  if (window_ != nullptr && IsWindow(window_) &&
      GetWindowLongPtrA(window_, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this)) {
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
  }
  window_ = nullptr;
  if (!class_name_.empty()) UnregisterClassA(class_name_.c_str(), instance_);
}

bool FrameWindow::PumpPending() {
  MSG peeked;
  while (PeekMessageA(&peeked, nullptr, 0, 0, PM_NOREMOVE)) {
    if (GetMessageA(&message_, nullptr, 0, 0) <= 0) return false;
    FilterAndDispatch();
  }
  return true;
}

int FrameWindow::Run() {
  // GetMessageA gives -1 only for an invalid window filter, which this loop never passes.
  while (GetMessageA(&message_, nullptr, 0, 0) > 0) FilterAndDispatch();
  return 0;
}

WPARAM FrameWindow::ExitCode() { return message_.wParam; }

void FrameWindow::SetDialog(HWND dialog) { dialog_ = dialog; }

void FrameWindow::AddHandler(UINT message, MessageHandler handler) {
  handlers_.push_back(HandlerEntry{message, handler});
}

void FrameWindow::RemoveHandler(UINT message, MessageHandler handler) {
  handlers_.erase(std::remove_if(handlers_.begin(), handlers_.end(),
                                 [&](const HandlerEntry& entry) {
                                   return entry.message == message && entry.handler == handler;
                                 }),
                  handlers_.end());
}

bool FrameWindow::ApplyClientSize() {
  if (width_ == CW_USEDEFAULT || height_ == CW_USEDEFAULT) return true;
  return SetClientSize(width_, height_);
}

void FrameWindow::ResizeInPlace(int width, int height) {
  RECT frame;
  GetWindowRect(window_, &frame);
  POINT origin = {frame.left, frame.top};
  // A child window is placed in its parent's client coordinates.
  HWND parent = (GetWindowLongPtrA(window_, GWL_STYLE) & WS_CHILD) ? GetParent(window_) : nullptr;
  if (parent != nullptr) ScreenToClient(parent, &origin);
  MoveWindow(window_, origin.x, origin.y, width, height, TRUE);
}

bool FrameWindow::SetClientSize(int width, int height) {
  for (int pass = 0; pass < kMaxSizingPasses; ++pass) {
    RECT frame, client;
    if (!GetWindowRect(window_, &frame) || !GetClientRect(window_, &client)) return false;
    const int client_width = client.right - client.left;
    const int client_height = client.bottom - client.top;
    if (client_width == width && client_height == height) return Centre();
    ResizeInPlace(frame.right - frame.left + width - client_width,
                  frame.bottom - frame.top + height - client_height);
  }
  return false;
}

bool FrameWindow::Centre() {
  RECT work = {};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  const int work_width = work.right - work.left;
  const int work_height = work.bottom - work.top;
  RECT frame;
  if (!GetWindowRect(window_, &frame)) return false;
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  int x = frame.left;
  int y = frame.top;
  if (centre_) {
    x = work.left + (work_width - width) / 2;
    y = work.top + (work_height - height) / 2;
  }
  // Pulled back when it reaches past the work area's extent, then its top-left corner
  // kept inside the work area.
  if (x + width > work_width) x = work_width - width;
  if (y + height > work_height) y = work_height - height;
  x = std::max<int>(x, work.left);
  y = std::max<int>(y, work.top);
  return MoveWindow(window_, x, y, width, height, TRUE) != 0;
}

bool FrameWindow::EnforceMinimumWindowSize() {
  RECT frame;
  GetWindowRect(window_, &frame);
  ResizeInPlace(std::max<int>(frame.right - frame.left, minimum_window_width_),
                std::max<int>(frame.bottom - frame.top, minimum_window_height_));
  return true;
}

bool FrameWindow::EnforceMinimumClientSize() {
  RECT frame, client;
  GetWindowRect(window_, &frame);
  GetClientRect(window_, &client);
  const int short_width = std::max<int>(0, minimum_client_width_ - (client.right - client.left));
  const int short_height =
      std::max<int>(0, minimum_client_height_ - (client.bottom - client.top));
  if (short_width != 0 || short_height != 0) {
    ResizeInPlace(frame.right - frame.left + short_width,
                  frame.bottom - frame.top + short_height);
  }
  return true;
}

bool FrameWindow::CreateBackBuffer(int width, int height) {
  if (back_buffer_dc_ != nullptr) DeleteDC(back_buffer_dc_);
  // The old bitmap is no longer selected anywhere once its context is gone.
  if (back_buffer_bitmap_ != nullptr) DeleteObject(back_buffer_bitmap_);
  HDC window_dc = GetDC(window_);
  back_buffer_dc_ = CreateCompatibleDC(window_dc);
  back_buffer_bitmap_ = CreateCompatibleBitmap(window_dc, width, height);
  if (back_buffer_dc_ != nullptr && back_buffer_bitmap_ != nullptr)
    SelectObject(back_buffer_dc_, back_buffer_bitmap_);
  ReleaseDC(window_, window_dc);
  return back_buffer_dc_ != nullptr && back_buffer_bitmap_ != nullptr;
}

bool FrameWindow::CreateScreenBackBuffer() {
  return CreateBackBuffer(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
}

HDC FrameWindow::BackBufferContext() { return back_buffer_dc_; }

bool FrameWindow::Present(HDC dc) {
  if (back_buffer_dc_ == nullptr) return false;
  RECT client;
  GetClientRect(window_, &client);
  BitBlt(dc, 0, 0, client.right - client.left, client.bottom - client.top, back_buffer_dc_, 0, 0,
         SRCCOPY);
  return true;
}

HINSTANCE FrameWindow::Instance() { return instance_; }
HWND FrameWindow::Window() { return window_; }
void FrameWindow::SetClassStyle(UINT class_style) { class_style_ = class_style; }
DWORD FrameWindow::Style() { return style_; }
void FrameWindow::SetStyle(DWORD style) { style_ = style; }
void FrameWindow::SetExtendedStyle(DWORD extended_style) { extended_style_ = extended_style; }
void FrameWindow::SetBackground(int selector) { background_ = selector; }
HICON FrameWindow::Icon() { return icon_; }
HICON FrameWindow::SmallIcon() { return small_icon_; }
void FrameWindow::SetIcon(HICON icon) { icon_ = icon; }
void FrameWindow::SetSmallIcon(HICON icon) { small_icon_ = icon; }
void FrameWindow::SetCursor(HCURSOR cursor) { cursor_ = cursor; }
void FrameWindow::SetTagText(const std::string& text) { tag_text_ = text; }
void FrameWindow::SetMenuName(const std::string& name) { menu_name_ = name; }
void FrameWindow::SetMenu(HMENU menu) { menu_ = menu; }
void FrameWindow::SetAccelerators(HACCEL accelerators) { accelerators_ = accelerators; }
void FrameWindow::SetClassName(const std::string& name) { class_name_ = name; }
