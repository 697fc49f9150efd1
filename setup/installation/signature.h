#pragma once
// Authenticode verification through the platform's trust service.
#include <string>

// Verifies the signature of `path`. True when it is valid. Otherwise false, with `errorText`
// set to the system's text for the status, or to the status in hexadecimal when the system has
// none; left untouched when the trust service cannot be loaded.
[[nodiscard]] bool verifySignature(const std::wstring& path, std::wstring& errorText);
