#include "window/run_window.h"

#include "resources/resource.h"
#include "window/progress_window.h"

void WindowProgress::progress(std::int32_t percent) { SendMessageW(window_, WM_PROGRESS, 0, percent); }

int WindowQuestions::ask(unsigned textId, unsigned style) {
  wchar_t text[250] = {};
  wchar_t caption[250] = {};
  HINSTANCE self = GetModuleHandleW(nullptr);
  LoadStringW(self, textId, text, 250);
  LoadStringW(self, IDS_APP_NAME, caption, 250);
  return MessageBoxW(window_, text, caption, ownedBoxStyle(window_, style));
}

void WindowQuestions::hide() { ShowWindow(window_, SW_HIDE); }
