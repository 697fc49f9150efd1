#pragma once
// Owners for platform handles: one non-copyable, movable owner per kind of handle, each knowing
// its own invalid value and how to release it. Files have an owner on every platform (a file
// descriptor outside Windows); the other kinds are Windows's own.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#endif

#include <utility>

// The calling thread's last system error code: GetLastError on Windows, errno elsewhere.
[[nodiscard]] inline unsigned long lastSystemError() {
#ifdef _WIN32
  return GetLastError();
#else
  return static_cast<unsigned long>(errno);
#endif
}

inline void setLastSystemError(unsigned long code) {
#ifdef _WIN32
  SetLastError(code);
#else
  errno = static_cast<int>(code);
#endif
}

// Traits give the handle type, its invalid value and its release call.
template <typename Traits>
class UniqueAny {
 public:
  using Type = typename Traits::Type;

  UniqueAny() = default;
  explicit UniqueAny(Type value) : value_(value) {}
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueAny() { reset(); }

  [[nodiscard]] Type get() const { return value_; }
  [[nodiscard]] bool valid() const { return value_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }

  Type release() { return std::exchange(value_, Traits::invalid()); }
  void reset(Type value = Traits::invalid()) {
    if (value_ != Traits::invalid()) {
      // Releasing must not disturb the error code a caller is about to read.
      const unsigned long savedError = lastSystemError();
      Traits::close(value_);
      setLastSystemError(savedError);
    }
    value_ = value;
  }

 private:
  Type value_ = Traits::invalid();
};

namespace handle_traits {
#ifndef _WIN32
struct File {
  using Type = int;
  static int invalid() { return -1; }
  static void close(int fd) { ::close(fd); }
};
}  // namespace handle_traits

using UniqueFile = UniqueAny<handle_traits::File>;
#else
// Processes, threads, events and snapshots-by-null.
struct Kernel {
  using Type = HANDLE;
  static HANDLE invalid() { return nullptr; }
  static void close(HANDLE h) { CloseHandle(h); }
};
// CreateFileW and CreateToolhelp32Snapshot fail with INVALID_HANDLE_VALUE.
struct File {
  using Type = HANDLE;
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { CloseHandle(h); }
};
struct Find {
  using Type = HANDLE;
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { FindClose(h); }
};
struct Library {
  using Type = HMODULE;
  static HMODULE invalid() { return nullptr; }
  static void close(HMODULE h) { FreeLibrary(h); }
};
// GDI fonts (the window manager's part of the program only).
struct Font {
  using Type = HFONT;
  static HFONT invalid() { return nullptr; }
  static void close(HFONT h) { DeleteObject(h); }
};
struct Local {
  using Type = HLOCAL;
  static HLOCAL invalid() { return nullptr; }
  static void close(HLOCAL h) { LocalFree(h); }
};
}  // namespace handle_traits

using UniqueHandle = UniqueAny<handle_traits::Kernel>;
using UniqueFile = UniqueAny<handle_traits::File>;
using UniqueFind = UniqueAny<handle_traits::Find>;
using UniqueLibrary = UniqueAny<handle_traits::Library>;
using UniqueLocal = UniqueAny<handle_traits::Local>;
using UniqueFont = UniqueAny<handle_traits::Font>;
#endif

// An open file as the system names it: a handle on Windows, a descriptor elsewhere.
using NativeFile = UniqueFile::Type;
