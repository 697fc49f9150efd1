#include "installation/signature_gate.h"

#include "failure.h"
#include "installation/held_files.h"
#include "installation/signature.h"
#include "installation/signature_prefetch.h"
#include "paths.h"
#include "resources/resource.h"
#include "run_log.h"
#include "text.h"

Gate passSignatureGate(const std::wstring& path, const RunControl& run, bool& checkSignatures) {
  // The file is held from here until its use, and checked through the held handle. One that
  // cannot be held (open for writing elsewhere) counts as unverified. A check made while the
  // payload unpacked was made the same way: it is taken as it is.
  HANDLE file = nullptr;
  DWORD holdError = ERROR_SUCCESS;
  SignatureCheck check;
  if (!run.held || !run.prefetch || !run.prefetch->take(fullPath(path), file, holdError, check)) {
    file = run.held ? run.held->hold(path) : nullptr;
    holdError = file ? ERROR_SUCCESS : GetLastError();
    if (file || !run.held) check = checkSignature(path, file);
  }
  if (run.held && !file) {
    run_log::line("signature of %s: not checked, the file cannot be held (error %lu)", path.c_str(), holdError);
  } else {
    logSignatureCheck(path, check);
    if (check.valid) return Gate::passed;
  }
  const int answer = run.ask(IDS_SIGNATURE_QUESTION, MB_YESNO);
  // Closing the window ends the question (as No) and the run: nothing is to follow.
  if (run.cancelled()) return Gate::declined;
  switch (answer) {
    case IDYES:
      checkSignatures = false;
      return Gate::passed;
    case IDNO:
      return Gate::declined;
    default:
      run_log::setOutcome(exit_code::signatureRefused);
      throw Failure(check.errorText.empty() ? "Invalid signature of msi" : toNarrow(check.errorText));
  }
}
