#pragma once
// One resource update of a program file, as a transaction: nothing is written unless commit()
// succeeds, and an update that is dropped discards what it staged.
#include <windows.h>

#include <string>

class ResourceUpdate {
 public:
  explicit ResourceUpdate(const std::wstring& file) : handle_(BeginUpdateResourceW(file.c_str(), FALSE)) {}
  ResourceUpdate(const ResourceUpdate&) = delete;
  ResourceUpdate& operator=(const ResourceUpdate&) = delete;
  ~ResourceUpdate() {
    if (handle_) EndUpdateResourceW(handle_, TRUE);
  }

  // False when the update could not begin (GetLastError tells why).
  [[nodiscard]] bool valid() const { return handle_ != nullptr; }

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
