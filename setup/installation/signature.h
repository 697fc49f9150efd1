#pragma once
// Authenticode verification through the platform's trust service.
#include <windows.h>

#include <string>

// Verifies the signature of `path`, reading through `file` when it is given (an open handle of
// `path` with read access). True when it is valid. Otherwise false, with `errorText` set to the
// system's text for the status, or to the status in hexadecimal when the system has none; left
// untouched when the trust service cannot be loaded.
[[nodiscard]] bool verifySignature(const std::wstring& path, HANDLE file, std::wstring& errorText);

// Gets the trust service ready: binds it and opens, once, the certificate stores that the first
// verification would otherwise open (most of that verification's time). Call it on a thread of
// its own while other work goes on; verifications do not depend on it having run.
void prepareTrustService() noexcept;
