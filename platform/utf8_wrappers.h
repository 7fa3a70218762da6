// UTF-8 wrappers of the window and shell calls that take text.
#pragma once
#include <windows.h>

#include <string>

// Message box styles the program uses: OK alone, with the error or the information icon.
constexpr UINT kMessagePlain = MB_OK;
constexpr UINT kMessageError = MB_ICONERROR;
constexpr UINT kMessageInformation = MB_ICONINFORMATION;

int MessageBoxUtf8(HWND owner, const std::string& text, const std::string& caption, UINT style);
BOOL SetDlgItemTextUtf8(HWND window, int control_id, const std::string& text);
HWND CreateWindowUtf8(DWORD ex_style, const std::string& class_name, const std::string& window_name,
                      DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu,
                      HINSTANCE instance, LPVOID parameter);
// Empty operation, parameters or directory are passed as no pointer (system defaults).
HINSTANCE ShellExecuteUtf8(HWND owner, const std::string& operation, const std::string& file,
                           const std::string& parameters, const std::string& directory, int show);
