#pragma once
// The one-line progress window: a caption with the program's name and a close box, and a
// centred line "<prefix><percent>%". Dragging the line moves the window; closing it cancels the
// run.
#include <windows.h>

#include <string>

#include "handles.h"

class InstallerSlot;

// lParam: the percentage to show. wParam: 0.
constexpr UINT WM_PROGRESS = WM_USER + 1;

// The style for a message box owned by `owner`. Once a setup program has run, the progress
// window is hidden, and a box it owns would have no taskbar button and could fall behind other
// windows: such a box comes to the front and stays there.
[[nodiscard]] inline UINT ownedBoxStyle(HWND owner, UINT style) {
  return owner && !IsWindowVisible(owner) ? style | MB_SETFOREGROUND | MB_TOPMOST : style;
}

// Shows an error text (8-bit, ANSI code page) in the error box owned by `owner` (null: none):
// caption "Error", error icon, OK. Raises nothing: a text that cannot be converted for want of
// memory is shown as "unexpected error".
void showErrorBox(HWND owner, const char* message) noexcept;
// The same with a text of the user's language.
void showErrorBox(HWND owner, const wchar_t* message) noexcept;

class ProgressWindow {
 public:
  // Registers the window class (named by string 109) for `instance`. False on failure, with
  // the platform's error kept.
  static bool registerClass(HINSTANCE instance);

  // The window's state; it must outlive the window.
  ProgressWindow(HINSTANCE instance, InstallerSlot& installers) : instance_(instance), installers_(installers) {}
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Creates the window titled `title`, centred on the screen. Null on failure.
  HWND create(const std::wstring& title);

  // "<prefix><percent>%", bounded by the 200 characters of the line.
  [[nodiscard]] static std::wstring formatText(const std::wstring& prefix, long percent);

 private:
  // No error leaves it: one raised while a message is handled is shown in the error box, and a
  // close request ends with the window destroyed all the same.
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void onCreate(HWND window);
  void onClose(HWND window);

  HINSTANCE instance_;
  InstallerSlot& installers_;
  std::wstring prefix_;
  HWND text_ = nullptr;
  UniqueFont font_;
  RECT client_{};
};
