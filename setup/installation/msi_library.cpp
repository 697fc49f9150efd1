#include "installation/msi_library.h"

#include <msiquery.h>

#include <vector>

#include "system_library.h"

namespace {

constexpr UINT kMissingEntry = ERROR_INVALID_FUNCTION;
constexpr DWORD kTextCapacity = 2048;

// In the order of the library's slots.
constexpr const char* kEntryNames[] = {
    "MsiOpenDatabaseW",   "MsiOpenProductW",      "MsiOpenPackageW",        "MsiGetProductPropertyW",
    "MsiGetProductInfoW", "MsiSummaryInfoGetPropertyW", "MsiGetSummaryInformationW", "MsiDatabaseOpenViewW",
    "MsiInstallProductW", "MsiCloseHandle",       "MsiViewFetch",           "MsiViewClose",
    "MsiRecordGetStringW", "MsiViewExecute",      "MsiViewGetColumnInfo",   "MsiRecordGetFieldCount",
    "MsiSetInternalUI",   "MsiEnableLogW"};

// Each entry point has the type the SDK declares for it.
using OpenDatabaseFn = decltype(&MsiOpenDatabaseW);
using OpenViewFn = decltype(&MsiDatabaseOpenViewW);
using ExecuteFn = decltype(&MsiViewExecute);
using FetchFn = decltype(&MsiViewFetch);
using RecordStringFn = decltype(&MsiRecordGetStringW);
using CloseFn = decltype(&MsiCloseHandle);
using InstallFn = decltype(&MsiInstallProductW);
using SetUiFn = decltype(&MsiSetInternalUI);
using ProductInfoFn = decltype(&MsiGetProductInfoW);
using EnableLogFn = decltype(&MsiEnableLogW);

}  // namespace

static_assert(sizeof(kEntryNames) / sizeof(kEntryNames[0]) == 18, "one name per slot");

bool MsiLibrary::load() {
  unload();
  module_.reset(loadSystemLibrary(L"msi.dll"));
  if (!module_) return false;
  for (int slot = 0; slot < kSlotCount; ++slot) slots_[slot] = GetProcAddress(module_.get(), kEntryNames[slot]);
  return true;
}

void MsiLibrary::unload() {
  module_.reset();
  for (FARPROC& slot : slots_) slot = nullptr;
}

UINT MsiLibrary::openDatabase(const std::wstring& path, const std::wstring& persist, MSIHANDLE& database) const {
  auto call = entry<OpenDatabaseFn>(kOpenDatabase);
  if (!call) return kMissingEntry;
  // A null persist mode is MSIDBOPEN_READONLY.
  return call(path.c_str(), persist.empty() ? nullptr : persist.c_str(), &database);
}

UINT MsiLibrary::openView(MSIHANDLE database, const std::wstring& query, MSIHANDLE& view) const {
  auto call = entry<OpenViewFn>(kDatabaseOpenView);
  return call ? call(database, query.c_str(), &view) : kMissingEntry;
}

UINT MsiLibrary::executeView(MSIHANDLE view, MSIHANDLE record) const {
  auto call = entry<ExecuteFn>(kViewExecute);
  return call ? call(view, record) : kMissingEntry;
}

UINT MsiLibrary::fetch(MSIHANDLE view, MSIHANDLE& record) const {
  auto call = entry<FetchFn>(kViewFetch);
  return call ? call(view, &record) : kMissingEntry;
}

UINT MsiLibrary::recordString(MSIHANDLE record, UINT field, std::wstring& text) const {
  auto call = entry<RecordStringFn>(kRecordGetString);
  if (!call) return kMissingEntry;
  std::vector<wchar_t> buffer(kTextCapacity, L'\0');
  DWORD length = kTextCapacity;
  const UINT status = call(record, field, buffer.data(), &length);
  buffer.back() = L'\0';
  text = buffer.data();
  return status;
}

UINT MsiLibrary::closeHandle(MSIHANDLE handle) const {
  auto call = entry<CloseFn>(kCloseHandle);
  return call ? call(handle) : kMissingEntry;
}

UINT MsiLibrary::installProduct(const std::wstring& package, const std::wstring& commandLine) const {
  auto call = entry<InstallFn>(kInstallProduct);
  return call ? call(package.c_str(), commandLine.c_str()) : kMissingEntry;
}

INSTALLUILEVEL MsiLibrary::setInternalUI(INSTALLUILEVEL level, HWND* owner) const {
  auto call = entry<SetUiFn>(kSetInternalUI);
  return call ? call(level, owner) : static_cast<INSTALLUILEVEL>(0);
}

UINT MsiLibrary::enableLog(DWORD modes, const std::wstring& path, DWORD attributes) const {
  auto call = entry<EnableLogFn>(kEnableLog);
  return call ? call(modes, path.c_str(), attributes) : kMissingEntry;
}

UINT MsiLibrary::productInfo(const std::wstring& product, const std::wstring& property, std::wstring& value) const {
  auto call = entry<ProductInfoFn>(kGetProductInfo);
  if (!call) return kMissingEntry;
  std::vector<wchar_t> buffer(kTextCapacity, L'\0');
  DWORD length = kTextCapacity;
  const UINT status = call(product.c_str(), property.c_str(), buffer.data(), &length);
  buffer.back() = L'\0';
  value = buffer.data();
  return status;
}

bool queryText(const MsiLibrary& msi, MSIHANDLE database, const std::wstring& query, std::wstring& value) {
  MsiHandle view(msi);
  MsiHandle record(msi);
  return msi.openView(database, query, view.out()) == ERROR_SUCCESS &&
         msi.executeView(view.get()) == ERROR_SUCCESS && msi.fetch(view.get(), record.out()) == ERROR_SUCCESS &&
         msi.recordString(record.get(), 1, value) == ERROR_SUCCESS;
}
