#include "installation/signature.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include "error_report.h"
#include "run_log.h"
#include "system_library.h"

namespace {

using WinVerifyTrustFn = decltype(&WinVerifyTrust);

// Bound once from the system folder and kept for the life of the process.
WinVerifyTrustFn trustEntry() {
  static constinit LazySystemEntry<WinVerifyTrustFn> entry(L"wintrust.dll", "WinVerifyTrust");
  return entry.get();
}

}  // namespace

void prepareTrustService() noexcept {
  if (!trustEntry()) return;
  // wintrust.dll has loaded crypt32.dll from the system folder already; this only binds it.
  const auto openStore = systemEntry<decltype(&CertOpenSystemStoreW)>(L"crypt32.dll", "CertOpenSystemStoreW");
  const auto closeStore = systemEntry<decltype(&CertCloseStore)>(L"crypt32.dll", "CertCloseStore");
  if (openStore && closeStore) {
    for (const wchar_t* store : {L"ROOT", L"CA"}) {
      if (HCERTSTORE opened = openStore(0, store)) closeStore(opened, 0);
    }
  }
}

SignatureCheck checkSignature(const std::wstring& path, HANDLE handle) {
  SignatureCheck check;
  WinVerifyTrustFn verify = trustEntry();
  if (!verify) {
    check.serviceMissing = true;
    return check;
  }

  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();
  file.hFile = handle;

  WINTRUST_DATA data{};
  // The request layout that ends with the UI context member, which every system from Vista on
  // accepts.
  data.cbStruct = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(data.dwUIContext);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_IGNORE;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  check.status = verify(nullptr, &action, &data);
  check.valid = check.status == 0;
  if (check.valid) return check;
  check.errorText = systemErrorText(static_cast<DWORD>(check.status));
  if (check.errorText.empty()) {
    // Many trust statuses have no system text; the code itself still tells what failed.
    const auto code = static_cast<unsigned long>(check.status);
    check.errorText = L"signature verification failed with status 0x";
    for (int shift = 28; shift >= 0; shift -= 4) check.errorText += L"0123456789ABCDEF"[(code >> shift) & 0xF];
  }
  return check;
}

void logSignatureCheck(const std::wstring& path, const SignatureCheck& check) {
  if (check.serviceMissing) {
    run_log::line("signature of %s: the trust service is not available", path.c_str());
  } else if (check.valid) {
    run_log::line("signature of %s: 0x00000000, valid", path.c_str());
  } else {
    run_log::line("signature of %s: 0x%08lX, %s", path.c_str(), static_cast<unsigned long>(check.status),
                  check.errorText.c_str());
  }
}

bool verifySignature(const std::wstring& path, HANDLE handle, std::wstring& errorText) {
  const SignatureCheck check = checkSignature(path, handle);
  logSignatureCheck(path, check);
  if (!check.serviceMissing) errorText = check.errorText;
  return check.valid;
}
