// UTF-8 wrappers of the window and shell calls that take text.
#include "platform/utf8_wrappers.h"

#include <shellapi.h>

#include "platform/text.h"
#include "platform/wide_api.h"

int MessageBoxUtf8(HWND owner, const std::string& text, const std::string& caption, UINT style) {
  if (IsWideSystem()) {
    return MessageBoxW(owner, Utf8ToWide(text).c_str(), Utf8ToWide(caption).c_str(), style);
  }
  return MessageBoxA(owner, Utf8ToAnsi(text).c_str(), Utf8ToAnsi(caption).c_str(), style);
}

BOOL SetDlgItemTextUtf8(HWND window, int control_id, const std::string& text) {
  if (UseWide(WideApi.SetDlgItemTextW)) {
    return WideApi.SetDlgItemTextW(window, control_id, Utf8ToWide(text).c_str());
  }
  return SetDlgItemTextA(window, control_id, Utf8ToAnsi(text).c_str());
}

HWND CreateWindowUtf8(DWORD ex_style, const std::string& class_name, const std::string& window_name,
                      DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu,
                      HINSTANCE instance, LPVOID parameter) {
  if (UseWide(WideApi.CreateWindowExW)) {
    return WideApi.CreateWindowExW(ex_style, Utf8ToWide(class_name).c_str(), Utf8ToWide(window_name).c_str(),
                                   style, x, y, width, height, parent, menu, instance, parameter);
  }
  return CreateWindowExA(ex_style, Utf8ToAnsi(class_name).c_str(), Utf8ToAnsi(window_name).c_str(), style,
                         x, y, width, height, parent, menu, instance, parameter);
}

HINSTANCE ShellExecuteUtf8(HWND owner, const std::string& operation, const std::string& file,
                           const std::string& parameters, const std::string& directory, int show) {
  // An empty text is passed as no text at all, so that the system applies its default.
  if (UseWide(WideApi.ShellExecuteW)) {
    const std::wstring wide_operation = Utf8ToWide(operation);
    const std::wstring wide_file = Utf8ToWide(file);
    const std::wstring wide_parameters = Utf8ToWide(parameters);
    const std::wstring wide_directory = Utf8ToWide(directory);
    return WideApi.ShellExecuteW(owner, operation.empty() ? nullptr : wide_operation.c_str(), wide_file.c_str(),
                                 parameters.empty() ? nullptr : wide_parameters.c_str(),
                                 directory.empty() ? nullptr : wide_directory.c_str(), show);
  }
  const std::string ansi_operation = Utf8ToAnsi(operation);
  const std::string ansi_file = Utf8ToAnsi(file);
  const std::string ansi_parameters = Utf8ToAnsi(parameters);
  const std::string ansi_directory = Utf8ToAnsi(directory);
  return ShellExecuteA(owner, operation.empty() ? nullptr : ansi_operation.c_str(), ansi_file.c_str(),
                       parameters.empty() ? nullptr : ansi_parameters.c_str(),
                       directory.empty() ? nullptr : ansi_directory.c_str(), show);
}
