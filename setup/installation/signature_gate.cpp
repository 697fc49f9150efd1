// The signature gate: a file whose signature cannot be verified is not refused outright; the
// user is told that the system probably lacks updates and asked whether to continue.

#include "failure.h"
#include "installer.h"
#include "resource.h"
#include "installation/signature.h"
#include "text.h"
#include "window/progress_window.h"

Installer::Gate Installer::signatureGate(const std::wstring& path) {
  std::wstring errorText;
  if (verifySignature(path, errorText)) return Gate::passed;
  const int answer = askContinue(IDS_SIGNATURE_QUESTION, MB_YESNO);
  // Closing the window ends the question (as No) and the run: nothing is to follow.
  if (cancelRequested) return Gate::declined;
  switch (answer) {
    case IDYES:
      checkSignatures = false;
      return Gate::passed;
    case IDNO:
      return Gate::declined;
    default:
      throw Failure(errorText.empty() ? "Invalid signature of msi" : toNarrow(errorText));
  }
}

int Installer::askContinue(unsigned textId, unsigned style) {
  if (cancelRequested) return IDNO;
  wchar_t text[250] = {};
  wchar_t caption[250] = {};
  HINSTANCE self = GetModuleHandleW(nullptr);
  LoadStringW(self, textId, text, 250);
  LoadStringW(self, IDS_APP_NAME, caption, 250);
  return MessageBoxW(window, text, caption, ownedBoxStyle(window, style));
}
