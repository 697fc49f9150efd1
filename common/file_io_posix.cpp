// The file calls of file_io.h on POSIX systems: paths are UTF-8, handles are file descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "file_io.h"
#include "text.h"

namespace {
constexpr unsigned kNameAttempts = 100;
constexpr size_t kChunk = size_t{1} << 20;

std::string native(const std::wstring& path) { return toUtf8(path); }

// Flushes what was written to a file to its disk, and the folder that names it.
void flushToDisk(const std::string& path) {
  for (const std::string& name : {path, path.substr(0, path.find_last_of('/') + 1)}) {
    if (name.empty()) continue;
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    (void)::fsync(fd);
    ::close(fd);
  }
}
}  // namespace

bool readUpTo(NativeFile file, std::string& bytes, size_t limit) {
  char buffer[65536];
  while (bytes.size() < limit) {
    const ssize_t read = ::read(file, buffer, std::min(sizeof(buffer), limit - bytes.size()));
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) return false;
    if (read == 0) break;
    bytes.append(buffer, static_cast<size_t>(read));
  }
  return true;
}

bool readAt(NativeFile file, std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t& got) {
  got = 0;
  while (got < count) {
    char* into = static_cast<char*>(buffer) + got;
    const ssize_t read = offset == kFromPointer ? ::read(file, into, count - got)
                                                : ::pread(file, into, count - got, static_cast<off_t>(offset + got));
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) {
      got = 0;
      return false;
    }
    if (read == 0) break;
    got += static_cast<std::uint32_t>(read);
  }
  return true;
}

bool readExactlyAt(NativeFile file, std::uint64_t offset, void* data, std::uint32_t size) {
  std::uint32_t got = 0;
  return readAt(file, offset, data, size, got) && got == size;
}

bool writeAt(NativeFile file, std::uint64_t offset, const void* data, std::uint32_t count) {
  for (std::uint32_t done = 0; done < count;) {
    const ssize_t written = ::pwrite(file, static_cast<const char*>(data) + done, count - done,
                                     static_cast<off_t>(offset + done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::uint32_t>(written);
  }
  return true;
}

bool writeAll(NativeFile file, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t written = ::write(file, bytes + done, std::min(size - done, kChunk));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

bool seekTo(NativeFile file, std::uint64_t offset) {
  return ::lseek(file, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

bool sizeOf(NativeFile file, std::uint64_t& size) {
  struct stat status;
  if (::fstat(file, &status) != 0) return false;
  size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool readWholeFile(const std::wstring& path, std::string& bytes, size_t limit) {
  const UniqueFile file(::open(native(path).c_str(), O_RDONLY | O_CLOEXEC));
  bytes.clear();
  return file && readUpTo(file.get(), bytes, limit + 1) && bytes.size() <= limit;
}

UniqueFile openToRead(const std::wstring& path) {
  // Not blocking: a pipe would otherwise wait for a writer before it opens.
  UniqueFile file(::open(native(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (file) {
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags != -1) (void)::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    (void)::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  return file;
}

UniqueFile openToUpdate(const std::wstring& path) { return UniqueFile(::open(native(path).c_str(), O_RDWR | O_CLOEXEC)); }

UniqueFile createToWrite(const std::wstring& path) {
  return UniqueFile(::open(native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

UniqueFile createScratchFile(const std::wstring& folder) {
  std::string name = native(folder) + "/pzsXXXXXX";
  UniqueFile file(::mkostemp(name.data(), O_CLOEXEC));
  // Nothing names it from here on: it goes when it is closed.
  if (file) ::unlink(name.c_str());
  return file;
}

bool stampOf(NativeFile file, FileStamp& stamp) {
  struct stat status;
  if (::fstat(file, &status) != 0) return false;
  stamp.size = static_cast<std::uint64_t>(status.st_size);
  stamp.written = (static_cast<std::uint64_t>(status.st_mtim.tv_sec) + 11644473600) * 10'000'000 +
                  static_cast<std::uint64_t>(status.st_mtim.tv_nsec / 100);
  return true;
}

bool isDiskFile(NativeFile file) {
  struct stat status;
  return ::fstat(file, &status) == 0 && S_ISREG(status.st_mode);
}

bool removeFile(const std::wstring& path) { return ::unlink(native(path).c_str()) == 0 || errno == ENOENT; }

bool meansAlreadyExists(unsigned long code) { return code == EEXIST; }

FileRemoval::~FileRemoval() {
  if (path_.empty()) return;
  const int savedError = errno;
  ::unlink(native(path_).c_str());
  errno = savedError;
}

UniqueFile PendingFile::create(const std::wstring& target) {
  const size_t slash = target.find_last_of(L'/');
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : target.substr(0, slash + 1);
  const std::wstring prefix = folder + L"~pm" + decimalText(::getpid()) + L"-";
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::wstring candidate = prefix + decimalText(attempt) + L".tmp";
    UniqueFile file(::open(native(candidate).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file) {
      target_ = target;
      removal_.reset(candidate);
      return file;
    }
    if (errno != EEXIST) break;
  }
  return UniqueFile();
}

bool PendingFile::replaceTarget() {
  if (path().empty()) return false;
  const std::string from = native(path()), to = native(target_);
  flushToDisk(from);
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  removal_.keep();
  flushToDisk(to);
  return true;
}
