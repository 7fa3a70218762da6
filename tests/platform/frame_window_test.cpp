#include "platform/frame_window.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

HINSTANCE Module() { return GetModuleHandleA(nullptr); }

// Every test window is destroyed (and its quit message, if any, taken) before the next.
void Close(FrameWindow& frame) {
  if (frame.Window() != nullptr && IsWindow(frame.Window())) DestroyWindow(frame.Window());
  frame.Destroy();
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
}

bool TakeQuit(WPARAM* code) {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      *code = message.wParam;
      return true;
    }
    DispatchMessageA(&message);
  }
  return false;
}

SIZE ClientSize(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  return SIZE{client.right - client.left, client.bottom - client.top};
}

int first_calls = 0;
int second_calls = 0;
int32_t first_result = 1;

int32_t FirstHandler(HWND, UINT, WPARAM, LPARAM) {
  ++first_calls;
  return first_result;
}
int32_t SecondHandler(HWND, UINT, WPARAM, LPARAM) {
  ++second_calls;
  return 0;
}

TEST(FrameWindow, OnlyFirstHandlerRunsAndNonZeroFallsBackToDefault) {
  first_calls = second_calls = 0;
  FrameWindow frame;
  frame.AddHandler(WM_GETTEXTLENGTH, &FirstHandler);
  frame.AddHandler(WM_GETTEXTLENGTH, &SecondHandler);
  ASSERT_NE(frame.CreateTopLevel(Module(), "Handlers", SW_HIDE), nullptr);
  first_calls = second_calls = 0;

  // Not handled: the system's default answers with the title's length.
  first_result = 1;
  EXPECT_EQ(SendMessageA(frame.Window(), WM_GETTEXTLENGTH, 0, 0), 8);
  EXPECT_EQ(first_calls, 1);
  EXPECT_EQ(second_calls, 0);

  // Handled: the message ends with result 0, the second handler still never runs.
  first_result = 0;
  EXPECT_EQ(SendMessageA(frame.Window(), WM_GETTEXTLENGTH, 0, 0), 0);
  EXPECT_EQ(first_calls, 2);
  EXPECT_EQ(second_calls, 0);

  // Removing the first lets the second answer.
  frame.RemoveHandler(WM_GETTEXTLENGTH, &FirstHandler);
  EXPECT_EQ(SendMessageA(frame.Window(), WM_GETTEXTLENGTH, 0, 0), 0);
  EXPECT_EQ(second_calls, 1);
  first_result = 1;
  Close(frame);
}

int32_t ThrowingHandler(HWND, UINT, WPARAM wparam, LPARAM) { throw static_cast<int32_t>(wparam); }

TEST(FrameWindow, IntegerThrownByHandlerIsTheMessageResult) {
  FrameWindow frame;
  frame.AddHandler(WM_APP + 1, &ThrowingHandler);
  ASSERT_NE(frame.CreateTopLevel(Module(), "Thrower", SW_HIDE), nullptr);
  EXPECT_EQ(SendMessageA(frame.Window(), WM_APP + 1, 1234, 0), 1234);
  EXPECT_EQ(static_cast<int32_t>(SendMessageA(frame.Window(), WM_APP + 1, static_cast<WPARAM>(-5), 0)),
            -5);
  Close(frame);
}

TEST(FrameWindow, DestroyOfTopLevelWindowPostsQuitButChildDoesNot) {
  FrameWindow top;
  ASSERT_NE(top.CreateTopLevel(Module(), "Top", SW_HIDE), nullptr);
  FrameWindow child;
  child.SetStyle(WS_CHILD);
  ASSERT_NE(child.Create(Module(), top.Window(), "Child", SW_SHOW), nullptr);
  EXPECT_EQ(GetParent(child.Window()), top.Window());

  WPARAM code = 99;
  DestroyWindow(child.Window());
  EXPECT_FALSE(TakeQuit(&code));
  child.Destroy();

  DestroyWindow(top.Window());
  ASSERT_TRUE(TakeQuit(&code));
  EXPECT_EQ(code, 0u);
  top.Destroy();
}

TEST(FrameWindow, RunEndsWithQuitCodeWhenWindowCloses) {
  FrameWindow frame;
  ASSERT_NE(frame.CreateTopLevel(Module(), "Loop", SW_SHOW), nullptr);
  PostMessageA(frame.Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(frame.Run(), 0);
  EXPECT_EQ(frame.ExitCode(), 0u);
  EXPECT_FALSE(IsWindow(frame.Window()));
  frame.Destroy();

  // PumpPending reports the quit message instead of waiting.
  FrameWindow other;
  ASSERT_NE(other.CreateTopLevel(Module(), "Pump", SW_HIDE), nullptr);
  EXPECT_TRUE(other.PumpPending());
  PostQuitMessage(3);
  EXPECT_FALSE(other.PumpPending());
  EXPECT_EQ(other.ExitCode(), 3u);
  Close(other);
}

TEST(FrameWindow, BackgroundSelectorChoosesClassBrush) {
  FrameWindow none;
  ASSERT_NE(none.CreateTopLevel(Module(), "NoBrush", SW_HIDE), nullptr);
  EXPECT_EQ(GetClassLongPtrA(none.Window(), GCLP_HBRBACKGROUND), 0);
  Close(none);

  FrameWindow face;
  face.SetBackground(6);
  ASSERT_NE(face.CreateTopLevel(Module(), "FaceBrush", SW_HIDE), nullptr);
  EXPECT_EQ(GetClassLongPtrA(face.Window(), GCLP_HBRBACKGROUND),
            reinterpret_cast<LONG_PTR>(GetSysColorBrush(COLOR_BTNFACE)));
  Close(face);

  FrameWindow black;
  black.SetBackground(1);
  ASSERT_NE(black.CreateTopLevel(Module(), "BlackBrush", SW_HIDE), nullptr);
  EXPECT_EQ(GetClassLongPtrA(black.Window(), GCLP_HBRBACKGROUND),
            reinterpret_cast<LONG_PTR>(GetStockObject(BLACK_BRUSH)));
  Close(black);
}

TEST(FrameWindow, ClassNameAndTitleComeFromTheName) {
  FrameWindow frame;
  const std::string name = "Fen\xC3\xAAtre \xE2\x82\xAC";  // UTF-8 name
  ASSERT_NE(frame.CreateTopLevel(Module(), name, SW_HIDE), nullptr);
  char class_name[256] = {};
  GetClassNameA(frame.Window(), class_name, sizeof(class_name));
  EXPECT_EQ(std::string(class_name), EncodeClassName(name));
  EXPECT_EQ(frame.Title(), name);
  wchar_t title[64] = {};
  GetWindowTextW(frame.Window(), title, 64);
  EXPECT_EQ(std::wstring(title), L"Fen\u00EAtre \u20AC");

  // The class is still registered, so a second window of that name cannot be made.
  FrameWindow twin;
  EXPECT_EQ(twin.CreateTopLevel(Module(), name, SW_HIDE), nullptr);
  Close(frame);
  // Once the first has unregistered it, the name is free again.
  EXPECT_NE(twin.CreateTopLevel(Module(), name, SW_HIDE), nullptr);
  Close(twin);
}

TEST(FrameWindow, UniqueNameFromProcessAndAddress) {
  const std::string name = FormatUniqueName(6699, 1245024);
  EXPECT_EQ(name, "2b1a00000000000060ff120000000000");
  const std::string class_name = EncodeClassName(name);
  EXPECT_EQ(class_name.size(), 5u + 64u);
  EXPECT_EQ(class_name.substr(0, 7), "UTF8_32");  // '2' is 0x32
  // The address is sign-extended to 64 bits.
  EXPECT_EQ(FormatUniqueName(1, -2), "0100000000000000feffffffffffffff");

  FrameWindow frame;
  ASSERT_NE(frame.CreateUnique(Module(), nullptr, SW_HIDE), nullptr);
  EXPECT_EQ(frame.ClassName(), EncodeClassName(FormatUniqueName(
                                   GetCurrentProcessId(), reinterpret_cast<intptr_t>(&frame))));
  Close(frame);
}

TEST(FrameWindow, ApplyClientSizeAndMinimumClientSize) {
  FrameWindow frame;
  frame.SetEnforceMinimumClient(false);
  ASSERT_NE(frame.CreateTopLevel(Module(), "Sizing", SW_SHOW), nullptr);
  RECT before, after;
  GetWindowRect(frame.Window(), &before);
  frame.SetSize(CW_USEDEFAULT, 200);
  EXPECT_TRUE(frame.ApplyClientSize());
  frame.SetSize(300, CW_USEDEFAULT);
  EXPECT_TRUE(frame.ApplyClientSize());
  GetWindowRect(frame.Window(), &after);
  EXPECT_TRUE(EqualRect(&before, &after));

  frame.SetSize(300, 200);
  EXPECT_TRUE(frame.ApplyClientSize());
  SIZE client = ClientSize(frame.Window());
  EXPECT_EQ(client.cx, 300);
  EXPECT_EQ(client.cy, 200);
  Close(frame);

  // Create widens and heightens a small window until the client area has its minimum.
  FrameWindow main;
  main.SetSize(200, 100);
  main.SetMinimumClientSize(500, 182);
  ASSERT_NE(main.CreateTopLevel(Module(), "Minimum", SW_SHOW), nullptr);
  client = ClientSize(main.Window());
  EXPECT_EQ(client.cx, 500);
  EXPECT_EQ(client.cy, 182);
  // Once met, enforcing again changes nothing.
  GetWindowRect(main.Window(), &before);
  EXPECT_TRUE(main.EnforceMinimumClientSize());
  GetWindowRect(main.Window(), &after);
  EXPECT_TRUE(EqualRect(&before, &after));

  // The window lies centred in the work area.
  RECT work;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  const int width = after.right - after.left, height = after.bottom - after.top;
  EXPECT_EQ(after.left, work.left + (work.right - work.left - width) / 2);
  EXPECT_EQ(after.top, work.top + (work.bottom - work.top - height) / 2);
  Close(main);
}

TEST(FrameWindow, MinimumWindowSize) {
  FrameWindow frame;
  frame.SetSize(120, 80);
  frame.SetEnforceMinimumWindow(true);
  frame.SetMinimumWindowSize(260, 90);
  ASSERT_NE(frame.CreateTopLevel(Module(), "MinimumWindow", SW_SHOW), nullptr);
  RECT rect;
  GetWindowRect(frame.Window(), &rect);
  EXPECT_EQ(rect.right - rect.left, 260);
  EXPECT_EQ(rect.bottom - rect.top, 90);
  Close(frame);
}

TEST(FrameWindow, CentreKeepsTopLeftInsideWorkArea) {
  RECT work;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  FrameWindow frame;
  frame.SetStyle(WS_POPUP);
  frame.SetSize(work.right - work.left + 200, work.bottom - work.top + 100);
  ASSERT_NE(frame.CreateTopLevel(Module(), "Oversized", SW_SHOW), nullptr);
  RECT rect;
  GetWindowRect(frame.Window(), &rect);
  EXPECT_EQ(rect.left, work.left);
  EXPECT_EQ(rect.top, work.top);

  // Without the centre flag a window that fits keeps its place.
  frame.SetCentre(false);
  MoveWindow(frame.Window(), work.left + 10, work.top + 20, 100, 50, FALSE);
  EXPECT_TRUE(frame.Centre());
  GetWindowRect(frame.Window(), &rect);
  EXPECT_EQ(rect.left, work.left + 10);
  EXPECT_EQ(rect.top, work.top + 20);
  // One that reaches past the right and bottom edges is pulled back.
  MoveWindow(frame.Window(), work.right - 50, work.bottom - 20, 100, 50, FALSE);
  EXPECT_TRUE(frame.Centre());
  GetWindowRect(frame.Window(), &rect);
  EXPECT_LE(rect.right, work.right);
  EXPECT_LE(rect.bottom, work.bottom);
  Close(frame);
}

int late_calls = 0;
int32_t LateHandler(HWND, UINT, WPARAM, LPARAM) {
  ++late_calls;
  return 0;
}

TEST(FrameWindow, WindowOutlivingItsObjectFallsBackToDefaultHandling) {
  late_calls = 0;
  HWND window = nullptr;
  {
    FrameWindow frame;
    frame.AddHandler(WM_GETTEXTLENGTH, &LateHandler);
    window = frame.CreateTopLevel(Module(), "Outlived", SW_HIDE);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0), 0);
    EXPECT_EQ(late_calls, 1);
  }
  ASSERT_TRUE(IsWindow(window));
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0);
  EXPECT_EQ(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0), 8);  // the system's answer
  EXPECT_EQ(late_calls, 1);
  DestroyWindow(window);
  WPARAM code = 0;
  EXPECT_FALSE(TakeQuit(&code));  // no object, no quit message
  UnregisterClassA(EncodeClassName("Outlived").c_str(), Module());
}

int32_t RefuseSizing(HWND, UINT, WPARAM, LPARAM lparam) {
  reinterpret_cast<WINDOWPOS*>(lparam)->flags |= SWP_NOSIZE;
  return 0;
}

TEST(FrameWindow, SetClientSizeGivesUpWhenTheSystemRefuses) {
  FrameWindow frame;
  frame.SetSize(200, 150);
  ASSERT_NE(frame.CreateTopLevel(Module(), "Refuse", SW_SHOW), nullptr);
  frame.AddHandler(WM_WINDOWPOSCHANGING, &RefuseSizing);
  EXPECT_FALSE(frame.SetClientSize(333, 222));
  Close(frame);
}

TEST(FrameWindow, BackBufferIsPresentedAndReplaced) {
  FrameWindow frame;
  frame.SetSize(100, 80);
  ASSERT_NE(frame.CreateTopLevel(Module(), "Buffer", SW_SHOW), nullptr);
  HDC target = CreateCompatibleDC(nullptr);
  HBITMAP target_bitmap = CreateBitmap(200, 200, 1, 32, nullptr);
  HGDIOBJ old = SelectObject(target, target_bitmap);
  EXPECT_FALSE(frame.Present(target));

  ASSERT_TRUE(frame.CreateBackBuffer(50, 50));
  ASSERT_TRUE(frame.CreateBackBuffer(64, 64));  // replaces the first
  ASSERT_NE(frame.BackBufferContext(), nullptr);
  RECT square = {0, 0, 64, 64};
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
  FillRect(frame.BackBufferContext(), &square, red);
  DeleteObject(red);
  EXPECT_TRUE(frame.Present(target));
  EXPECT_EQ(GetPixel(target, 10, 10), RGB(255, 0, 0));

  SelectObject(target, old);
  DeleteObject(target_bitmap);
  DeleteDC(target);
  Close(frame);
  EXPECT_EQ(frame.BackBufferContext(), nullptr);
}

int child_wheels = 0;
int parent_wheels = 0;
int32_t ChildWheel(HWND, UINT, WPARAM, LPARAM) {
  ++child_wheels;
  return 0;
}
int32_t ParentWheel(HWND, UINT, WPARAM, LPARAM) {
  ++parent_wheels;
  return 0;
}

LPARAM ScreenPoint(HWND window, int x, int y) {
  POINT point = {x, y};
  ClientToScreen(window, &point);
  return MAKELPARAM(point.x, point.y);
}

TEST(FrameWindow, WheelGoesToChildUnderCursorAndOutsideIsDropped) {
  FrameWindow top;
  top.SetStyle(WS_POPUP | WS_VISIBLE);
  top.SetPosition(40, 40);
  top.SetSize(300, 200);
  top.SetCentre(false);
  top.SetEnforceMinimumClient(false);
  top.AddHandler(WM_MOUSEWHEEL, &ParentWheel);
  ASSERT_NE(top.CreateTopLevel(Module(), "WheelParent", SW_SHOW), nullptr);
  SetForegroundWindow(top.Window());
  SetFocus(top.Window());

  FrameWindow child;
  child.SetStyle(WS_CHILD | WS_VISIBLE);
  child.SetPosition(150, 100);
  child.SetSize(100, 60);
  child.AddHandler(WM_MOUSEWHEEL, &ChildWheel);
  ASSERT_NE(child.Create(Module(), top.Window(), "WheelChild", SW_SHOW), nullptr);
  top.PumpPending();
  child_wheels = parent_wheels = 0;

  // Over the child: readdressed to it.
  PostMessageA(top.Window(), WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA),
               ScreenPoint(top.Window(), 170, 120));
  EXPECT_TRUE(top.PumpPending());
  EXPECT_EQ(child_wheels, 1);
  EXPECT_EQ(parent_wheels, 0);

  // Over the parent's own client area: stays with the parent.
  PostMessageA(top.Window(), WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA),
               ScreenPoint(top.Window(), 20, 20));
  EXPECT_TRUE(top.PumpPending());
  EXPECT_EQ(child_wheels, 1);
  EXPECT_EQ(parent_wheels, 1);

  // Outside the client area: dropped.
  PostMessageA(top.Window(), WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA),
               ScreenPoint(top.Window(), 300, 20));
  PostMessageA(top.Window(), WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA),
               ScreenPoint(top.Window(), -5, 20));
  EXPECT_TRUE(top.PumpPending());
  EXPECT_EQ(child_wheels, 1);
  EXPECT_EQ(parent_wheels, 1);

  child.Destroy();
  Close(top);
}

int commands = 0;
int32_t CountCommand(HWND, UINT, WPARAM wparam, LPARAM) {
  if (LOWORD(wparam) == 77) ++commands;
  return 0;
}

TEST(FrameWindow, AcceleratorsTranslateKeysIntoCommands) {
  FrameWindow frame;
  frame.AddHandler(WM_COMMAND, &CountCommand);
  ACCEL accel = {FVIRTKEY, VK_F5, 77};
  HACCEL table = CreateAcceleratorTableA(&accel, 1);
  ASSERT_NE(table, nullptr);
  frame.SetAccelerators(table);
  ASSERT_NE(frame.CreateTopLevel(Module(), "Accel", SW_SHOW), nullptr);
  commands = 0;
  PostMessageA(frame.Window(), WM_KEYDOWN, VK_F5, 1);
  EXPECT_TRUE(frame.PumpPending());
  EXPECT_EQ(commands, 1);
  Close(frame);
  DestroyAcceleratorTable(table);
}

}  // namespace
