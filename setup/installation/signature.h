#pragma once
// Authenticode verification through the platform's trust service.
#include <windows.h>

#include <string>

// What a verification found, kept so that it can be taken (and logged) later than it was made.
struct SignatureCheck {
  bool serviceMissing = false;  // the trust service cannot be loaded
  bool valid = false;
  LONG status = 0;
  // The system's text for the status, or the status in hexadecimal when the system has none;
  // empty when valid or when the service is missing.
  std::wstring errorText;
};

// Verifies the signature of `path`, reading through `file` when it is given (an open handle of
// `path` with read access). Logs nothing.
[[nodiscard]] SignatureCheck checkSignature(const std::wstring& path, HANDLE file);

// The log's line for a check, naming the file `path`.
void logSignatureCheck(const std::wstring& path, const SignatureCheck& check);

// checkSignature and its log line. True when the signature is valid. Otherwise false, with
// `errorText` set to the check's text; left untouched when the trust service cannot be loaded.
[[nodiscard]] bool verifySignature(const std::wstring& path, HANDLE file, std::wstring& errorText);

// Gets the trust service ready: binds it and opens, once, the certificate stores that the first
// verification would otherwise open (most of that verification's time). Call it on a thread of
// its own while other work goes on; verifications do not depend on it having run.
void prepareTrustService() noexcept;
