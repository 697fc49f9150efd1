#include "window/progress_window.h"

#include <exception>

#include "window/installer_slot.h"
#include "installer.h"
#include "resources/resource.h"
#include "run_log.h"
#include "text.h"

namespace {
constexpr int kTextControlId = 1000;
constexpr size_t kTextLength = 200;
constexpr int kPrefixLength = 100;

std::wstring loadString(HINSTANCE instance, UINT id, int capacity) {
  std::wstring buffer(static_cast<size_t>(capacity), L'\0');
  const int length = LoadStringW(instance, id, buffer.data(), capacity);
  buffer.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return buffer;
}
}  // namespace

bool ProgressWindow::registerClass(HINSTANCE instance) {
  const std::wstring className = loadString(instance, IDS_WINDOW_CLASS, kPrefixLength);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = className.c_str();
  return RegisterClassExW(&windowClass) != 0;
}

HWND ProgressWindow::create(const std::wstring& title) {
  const std::wstring className = loadString(instance_, IDS_WINDOW_CLASS, kPrefixLength);
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2 - 300;
  const int y = GetSystemMetrics(SM_CYSCREEN) / 2 - 35;
  return CreateWindowExW(0, className.c_str(), title.c_str(), WS_CAPTION | WS_SYSMENU, x, y, 600, 70, nullptr, nullptr,
                         instance_, this);
}

std::wstring ProgressWindow::formatText(const std::wstring& prefix, long percent) {
  // Bounded by the line's buffer, terminator included: what does not fit is cut.
  std::wstring text = prefix + decimalText(percent) + L"%";
  if (text.size() > kTextLength - 1) text.resize(kTextLength - 1);
  return text;
}

void showErrorBox(HWND owner, const char* message) noexcept {
  const wchar_t* text = L"unexpected error";
  std::wstring converted;
  try {
    converted = toWide(message);
    if (!converted.empty()) text = converted.c_str();
  } catch (...) {
  }
  showErrorBox(owner, text);
}

void showErrorBox(HWND owner, const wchar_t* message) noexcept {
  MessageBoxW(owner, message, L"Error", ownedBoxStyle(owner, MB_ICONERROR | MB_OK));
}

LRESULT CALLBACK ProgressWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  try {
    return self->handle(window, message, wParam, lParam);
  } catch (const std::exception& e) {
    showErrorBox(window, e.what());
  } catch (...) {
    showErrorBox(window, "unexpected error");
  }
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

LRESULT ProgressWindow::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      onCreate(window);
      return 0;
    case WM_PROGRESS:
      SetWindowTextW(text_, formatText(prefix_, static_cast<long>(lParam)).c_str());
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, RGB(0, 0, 0));
      SetBkColor(dc, RGB(255, 255, 255));
      return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    }
    case WM_NCHITTEST: {
      const LRESULT hit = DefWindowProcW(window, message, wParam, lParam);
      return hit == HTCLIENT ? HTCAPTION : hit;
    }
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_CLOSE:
      onClose(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void ProgressWindow::onCreate(HWND window) {
  prefix_ = loadString(instance_, IDS_PROGRESS_PREFIX, kPrefixLength);
  GetClientRect(window, &client_);
  // The font goes with this object, after the window and its text control.
  font_.reset(CreateFontW(18, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_OUTLINE_PRECIS,
                          CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FF_DECORATIVE | DEFAULT_PITCH, L"Segoe UI"));
  text_ = CreateWindowExW(0, L"STATIC", formatText(prefix_, 0).c_str(), WS_CHILD | WS_VISIBLE | SS_CENTER, 0, 0,
                          client_.right - client_.left, client_.bottom - client_.top, window,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTextControlId)), instance_, nullptr);
  SendMessageW(text_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
}

void ProgressWindow::onClose(HWND window) {
  // Stops the run: the unpacking ends within one chunk, and the installer is destroyed by
  // whichever thread lets go of it last, never while the worker still uses it.
  if (std::shared_ptr<Installer> installer = installers_.closeRequest()) {
    run_log::line("close request: stopping the %s", installer->step.load());
    run_log::setOutcome(exit_code::closed);
    installer->requestCancel();
    installer->waitForUnpacking();
  }
  DestroyWindow(window);
}
