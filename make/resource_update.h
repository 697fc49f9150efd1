#pragma once
// One resource update of a program file, as a transaction: nothing is written unless commit()
// succeeds, and an update that is dropped discards what it staged.
#include <windows.h>

#include <string>

class ResourceUpdate {
 public:
  // `deleteExisting` starts from no resources at all instead of the file's own.
  explicit ResourceUpdate(const std::wstring& file, bool deleteExisting = false)
      : handle_(BeginUpdateResourceW(file.c_str(), deleteExisting ? TRUE : FALSE)) {}
  ResourceUpdate(const ResourceUpdate&) = delete;
  ResourceUpdate& operator=(const ResourceUpdate&) = delete;
  ~ResourceUpdate() {
    if (handle_) {
      const DWORD savedError = GetLastError();
      EndUpdateResourceW(handle_, TRUE);
      SetLastError(savedError);
    }
  }

  // False when the update could not begin (GetLastError tells why).
  [[nodiscard]] bool valid() const { return handle_ != nullptr; }
  [[nodiscard]] HANDLE get() const { return handle_; }

  bool update(WORD type, WORD id, WORD language, const void* data, DWORD size) {
    return handle_ && UpdateResourceW(handle_, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id), language,
                                      const_cast<void*>(data), size);
  }

  // Writes the staged changes into the file.
  [[nodiscard]] bool commit() {
    if (!handle_) return false;
    HANDLE handle = handle_;
    handle_ = nullptr;
    return EndUpdateResourceW(handle, FALSE) != 0;
  }

 private:
  HANDLE handle_;
};
