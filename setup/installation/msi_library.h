#pragma once
// The platform's installer service (msi.dll), bound by name from the system folder for the length
// of one operation: the setup program does not import it, and a DLL of that name beside the
// program is never loaded. Each operation makes its own library, loads it, calls through it and
// lets it unload at the end of its scope.
#include <windows.h>
#include <msi.h>

#include <string>

#include "handles.h"

class MsiLibrary {
 public:
  MsiLibrary() = default;
  ~MsiLibrary() { unload(); }
  MsiLibrary(const MsiLibrary&) = delete;
  MsiLibrary& operator=(const MsiLibrary&) = delete;

  // Loads msi.dll and binds its eighteen entry points in their fixed order; a name the module
  // lacks leaves its slot empty. False when the module cannot be loaded (every slot empty then).
  // A loaded library is unloaded first, so a library can be loaded again.
  [[nodiscard]] bool load();
  void unload();
  [[nodiscard]] bool loaded() const { return module_.valid(); }

  // The calls the setup program makes. Each returns the service's status (0 for success) or,
  // when its entry point is missing, 1 (ERROR_INVALID_FUNCTION) without calling anything.
  // An empty `persist` opens the database read-only.
  UINT openDatabase(const std::wstring& path, const std::wstring& persist, MSIHANDLE& database) const;
  UINT openView(MSIHANDLE database, const std::wstring& query, MSIHANDLE& view) const;
  UINT executeView(MSIHANDLE view, MSIHANDLE record = 0) const;
  UINT fetch(MSIHANDLE view, MSIHANDLE& record) const;
  // Field `field` of a record, up to 2047 characters; `text` is left unchanged on a missing
  // entry point.
  UINT recordString(MSIHANDLE record, UINT field, std::wstring& text) const;
  UINT closeHandle(MSIHANDLE handle) const;
  UINT installProduct(const std::wstring& package, const std::wstring& commandLine) const;
  // The previous level, or 0 when the entry point is missing. `owner` may be null.
  INSTALLUILEVEL setInternalUI(INSTALLUILEVEL level, HWND* owner) const;
  // Logs the installations of this process into `path`, `modes` and `attributes` as
  // MsiEnableLogW takes them.
  UINT enableLog(DWORD modes, const std::wstring& path, DWORD attributes) const;
  // A product's property, up to 2047 characters. `value` receives what the service left in its
  // buffer whatever the status (empty when it found nothing); unchanged on a missing entry point.
  UINT productInfo(const std::wstring& product, const std::wstring& property, std::wstring& value) const;

 private:
  enum Slot {
    kOpenDatabase, kOpenProduct, kOpenPackage, kGetProductProperty, kGetProductInfo, kSummaryInfoGetProperty,
    kGetSummaryInformation, kDatabaseOpenView, kInstallProduct, kCloseHandle, kViewFetch, kViewClose,
    kRecordGetString, kViewExecute, kViewGetColumnInfo, kRecordGetFieldCount, kSetInternalUI, kEnableLog, kSlotCount
  };
  template <typename Function>
  [[nodiscard]] Function entry(Slot slot) const {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(slots_[slot]));
  }

  UniqueLibrary module_;
  FARPROC slots_[kSlotCount] = {};
};

// An installer handle (database, view, record), closed through its library at the end of its
// scope. The library must outlive it.
class MsiHandle {
 public:
  explicit MsiHandle(const MsiLibrary& library) : library_(library) {}
  ~MsiHandle() { reset(); }
  MsiHandle(const MsiHandle&) = delete;
  MsiHandle& operator=(const MsiHandle&) = delete;

  [[nodiscard]] MSIHANDLE get() const { return handle_; }
  // For the calls that hand out a handle; any handle held so far is closed first.
  [[nodiscard]] MSIHANDLE& out() {
    reset();
    return handle_;
  }
  void reset() {
    if (handle_ != 0) library_.closeHandle(handle_);
    handle_ = 0;
  }

 private:
  const MsiLibrary& library_;
  MSIHANDLE handle_ = 0;
};

// Runs a query that gives one text (a property value, say) against an open database: opens a
// view, executes it, fetches one record and reads its first field. False when any step fails,
// including a view without rows; every handle it opened is closed on every path.
[[nodiscard]] bool queryText(const MsiLibrary& msi, MSIHANDLE database, const std::wstring& query,
                             std::wstring& value);
