#include "window/run_window.h"

#include "resources/resource.h"
#include "run_log.h"
#include "window/progress_window.h"

void WindowProgress::progress(std::int32_t percent) { SendMessageW(window_, WM_PROGRESS, 0, percent); }

namespace {
const wchar_t* answerName(int answer) {
  return answer == IDYES ? L"Yes" : answer == IDNO ? L"No" : answer == IDOK ? L"OK" : L"none";
}
}  // namespace

int WindowQuestions::ask(unsigned textId, unsigned style) {
  wchar_t text[250] = {};
  wchar_t caption[250] = {};
  HINSTANCE self = GetModuleHandleW(nullptr);
  LoadStringW(self, textId, text, 250);
  LoadStringW(self, IDS_APP_NAME, caption, 250);
  run_log::line("question: %s", text);
  const int answer = MessageBoxW(window_, text, caption, ownedBoxStyle(window_, style));
  run_log::line("answer: %s", answerName(answer));
  return answer;
}

int QuietQuestions::ask(unsigned textId, unsigned) {
  wchar_t text[250] = {};
  LoadStringW(GetModuleHandleW(nullptr), textId, text, 250);
  run_log::line("question: %s", text);
  run_log::line("answer: No (quiet mode)");
  return IDNO;
}

void WindowQuestions::hide() { ShowWindow(window_, SW_HIDE); }
