#pragma once
// The signature gate: a file whose signature cannot be verified is not refused outright; the
// user is told that the system probably lacks updates and asked whether to continue.
#include <string>

#include "installation/run_control.h"

enum class Gate { passed, declined };

// Holds `path` through `run.held` (when set) and verifies its signature through the held
// handle; a file that cannot be held counts as unverified. Asks on failure: passed (valid, or the user chose to continue,
// which clears `checkSignatures`) or declined (No, or a close request while the question was
// up). Raises Failure with the verification's text ("Invalid signature of msi" when the system
// has none) when the question cannot be shown.
[[nodiscard]] Gate passSignatureGate(const std::wstring& path, const RunControl& run, bool& checkSignatures);
