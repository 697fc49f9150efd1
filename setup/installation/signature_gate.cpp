#include "installation/signature_gate.h"

#include "failure.h"
#include "installation/held_files.h"
#include "installation/signature.h"
#include "resources/resource.h"
#include "run_log.h"
#include "text.h"

Gate passSignatureGate(const std::wstring& path, const RunControl& run, bool& checkSignatures) {
  std::wstring errorText;
  // The file is held from here until its use, and checked through the held handle. One that
  // cannot be held (open for writing elsewhere) counts as unverified.
  const HANDLE file = run.held ? run.held->hold(path) : nullptr;
  if (run.held && !file) run_log::line("signature of %s: not checked, the file cannot be held (error %lu)", path.c_str(), GetLastError());
  if ((file || !run.held) && verifySignature(path, file, errorText)) return Gate::passed;
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
      throw Failure(errorText.empty() ? "Invalid signature of msi" : toNarrow(errorText));
  }
}
