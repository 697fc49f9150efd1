#include "sfx_builder.h"

#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "console.h"
#include "error_report.h"
#include "file_io.h"
#include "handles.h"
#include "output_name.h"
#include "paths.h"
#include "payload_format.h"
#include "resource.h"
#include "source_date.h"
#include "resource_update.h"
#include "text.h"
#include "version_strings.h"
#include "zip_writer.h"

namespace {

constexpr DWORD kCopyChunk = 10'000'000;
constexpr int kCopyAttempts = 3;
// Each resource update can move the image's end; a few rounds always settle it.
constexpr int kLayoutRounds = 4;

std::wstring lastComponent(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::uint64_t fileSizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A failed resource update: its line and the system's report.
bool updateFailed(const char* line) {
  printError(line);
  SystemErrorReport();
  return false;
}

// The archive must start where the payload offset says, after the whole image with all its
// resources. Updating resources can grow the image and move sections, so the offset is taken
// from the finished image and rewritten until it names the image's real end. `output` is a full
// path: the loader would look a relative name up along the DLL search path; messages name
// `shown`. 0 after a reported failure.
std::uint32_t settleArchiveOffset(const std::wstring& output, const std::wstring& shown) {
  for (int round = 0; round < kLayoutRounds; ++round) {
    const std::uint64_t end = fileSizeOf(output);
    if (end == 0 || end >= 0xFFFFFFFFull) break;
    std::string recorded;
    if (const UniqueLibrary image(LoadLibraryExW(output.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)); image) {
      if (HRSRC info = FindResourceW(image.get(), MAKEINTRESOURCEW(kPayloadOffsetResourceId),
                                     MAKEINTRESOURCEW(kPayloadResourceType))) {
        const char* data = static_cast<const char*>(LockResource(LoadResource(image.get(), info)));
        if (data) recorded.assign(data, SizeofResource(image.get(), info));
      }
    }
    const std::string digits = archiveOffsetText(end);
    if (recorded == digits) return static_cast<std::uint32_t>(end);
    ResourceUpdate update(output);
    const char* failure = nullptr;
    if (!update.valid()) {
      failure = "Begin update error";
    } else if (!update.update(kPayloadResourceType, kPayloadOffsetResourceId, kPayloadResourceLanguage, digits.data(),
                                   static_cast<DWORD>(digits.size()))) {
      failure = "Update resource error";
    } else if (!update.commit()) {
      failure = "End update error";
    }
    if (failure) {
      updateFailed(failure);
      return 0;
    }
  }
  printError(L"Can't record where the archive starts in " + shown);
  return 0;
}

}  // namespace

std::string lowerExtension(const std::wstring& path) {
  const std::wstring last = lastComponent(path);
  const size_t dot = last.rfind(L'.');
  if (dot == std::wstring::npos) return {};
  return foldAscii(toNarrow(last.substr(dot)));
}

std::wstring fileStem(const std::wstring& name) {
  const std::wstring last = lastComponent(name);
  const size_t dot = last.rfind(L'.');
  return dot == std::wstring::npos ? last : last.substr(0, dot);
}

SfxBuilder::SfxBuilder(HMODULE stubModule)
    : stubModule_(stubModule), tempFolder_(std::filesystem::temp_directory_path().wstring()) {}

SfxBuilder::OutputName SfxBuilder::setOutputFileName(const std::wstring& name) {
  if (lowerExtension(name) != ".exe") {
    printError("Client setup file name is not the exe file!");
    return OutputName::NotExecutable;
  }
  // A stream ("x.exe:s.exe"), a drive, a device or ".." would put the program somewhere else
  // than a file below the output folder.
  if (!isPlainFileName(name)) {
    printError(L"Client setup file name is not a plain file name: " + name);
    return OutputName::NotPlain;
  }
  outputFileName_ = name;
  return OutputName::Accepted;
}

namespace {

using ArchiveOwner = std::unique_ptr<zip_t, decltype(&zip_discard)>;

// Opens a ZIP archive for reading; raises "Can't open zip: <path>" when it is none.
ArchiveOwner openArchive(const std::wstring& archivePath) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_win32w_create(archivePath.c_str(), 0, -1, &error);
  zip_t* archive = source ? zip_open_from_source(source, 0, &error) : nullptr;
  zip_error_fini(&error);
  if (!archive) {
    if (source) zip_source_free(source);
    throw std::runtime_error("Can't open zip: " + toNarrow(archivePath));
  }
  return ArchiveOwner(archive, zip_discard);
}

}  // namespace

bool setupFileInArchive(const std::wstring& archivePath, const std::string& name) {
  const ArchiveOwner owner = openArchive(archivePath);
  zip_t* archive = owner.get();
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t stat;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) != 0 || !stat.name) continue;
    // libzip gives names as UTF-8; the setup file name is ANSI text.
    const std::string entry = toNarrow(fromUtf8(stat.name));
    const size_t slash = entry.find_last_of("\\/");
    if ((slash == std::string::npos ? entry : entry.substr(slash + 1)) == name) return true;
  }
  return false;
}

bool SfxBuilder::writeStub(PendingFile& pending, const std::wstring& output, const void* stub, DWORD size) {
  UniqueFile file = pending.create(output);
  if (!file) {
    printSystemError(L"Can't create " + output, GetLastError());
    return false;
  }
  if (!writeAll(file.get(), stub, size)) {
    // A short image is no program: the build stops here.
    printSystemError(L"Can't write the setup program image to " + output, GetLastError());
    return false;
  }
  return true;
}

bool SfxBuilder::addPayloadResources(const std::wstring& output, DWORD stubSize) {
  ResourceUpdate update(output);
  if (!update.valid()) return updateFailed("Begin update error");
  const std::string digits = archiveOffsetText(stubSize);
  // Without the setup name the program would run in distribution mode instead of the setup file.
  if (!update.update(kPayloadResourceType, kPayloadOffsetResourceId, kPayloadResourceLanguage, digits.data(),
                     static_cast<DWORD>(digits.size())) ||
      (!setupFileName_.empty() &&
       !update.update(kPayloadResourceType, kSetupNameResourceId, kPayloadResourceLanguage, setupFileName_.c_str(),
                      static_cast<DWORD>(setupFileName_.size() + 1)))) {
    return updateFailed("Update resource error");
  }
  if (!update.commit()) return updateFailed("End update error");
  return true;
}

bool SfxBuilder::stampHeader(const std::wstring& output) {
  const std::optional<std::uint32_t> seconds = readSourceDate().seconds;
  if (!seconds) return true;
  UniqueFile file(CreateFileW(output.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  // The header's place: the 32-bit offset at 0x3C; its time stamp 8 bytes on, after the "PE\0\0"
  // signature, the machine and the section count.
  std::uint32_t header = 0;
  OVERLAPPED at{};
  at.Offset = 0x3C;
  DWORD done = 0;
  if (!file || !ReadFile(file.get(), &header, sizeof header, &done, &at) || done != sizeof header) {
    printSystemError(L"Can't stamp " + output, GetLastError());
    return false;
  }
  at.Offset = header + 8;
  if (!WriteFile(file.get(), &*seconds, sizeof *seconds, &done, &at) || done != sizeof *seconds) {
    printSystemError(L"Can't stamp " + output, GetLastError());
    return false;
  }
  return true;
}

bool SfxBuilder::appendArchive(const std::wstring& output, std::uint32_t offset) {
  UniqueFile target(CreateFileW(output.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  if (!target) {
    printError("Error unloading the exe");
    return false;
  }
  LARGE_INTEGER position;
  position.QuadPart = offset;
  SetFilePointerEx(target.get(), position, nullptr, FILE_BEGIN);

  UniqueFile archive(
      CreateFileW(archivePath_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!archive) {
    printError("Can't open archive for reading!");
    return false;
  }
  LARGE_INTEGER archiveSize{};
  GetFileSizeEx(archive.get(), &archiveSize);
  if (static_cast<std::uint64_t>(archiveSize.QuadPart) + offset >= 0xFFFFFFFFull) {
    printError(kArchiveTooLarge);
    return false;
  }
  const auto size = static_cast<std::uint32_t>(archiveSize.QuadPart);

  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  std::uint32_t copied = 0;
  int failures = 0;
  while (copied < size) {
    LARGE_INTEGER at;
    at.QuadPart = copied;
    DWORD read = 0;
    const DWORD wanted = std::min<DWORD>(kCopyChunk, size - copied);
    if (!SetFilePointerEx(archive.get(), at, nullptr, FILE_BEGIN) ||
        !ReadFile(archive.get(), buffer.get(), wanted, &read, nullptr) || read == 0) {
      // A read that keeps failing ends the build after a few tries instead of spinning.
      if (++failures < kCopyAttempts) continue;
      printError("Read file error");
      SystemErrorReport();
      return false;
    }
    DWORD written = 0;
    if (!WriteFile(target.get(), buffer.get(), read, &written, nullptr) || written == 0) {
      if (++failures < kCopyAttempts) {
        // Retry the chunk where the output stands now.
        position.QuadPart = static_cast<LONGLONG>(offset) + copied;
        SetFilePointerEx(target.get(), position, nullptr, FILE_BEGIN);
        continue;
      }
      printError("Can't write archive data to file");
      return false;
    }
    failures = 0;
    copied += written;
  }
  return true;
}

bool SfxBuilder::buildFromArchive(const std::wstring& archivePath) {
  archivePath_ = archivePath;
  // The temporary archive goes with the build whether it completes or not; the user's is kept.
  FileRemoval temporaryArchive(deleteArchive_ ? archivePath_ : std::wstring());
  HRSRC info = FindResourceW(stubModule_, MAKEINTRESOURCEW(IDR_STUB_IMAGE), RT_RCDATA);
  HGLOBAL loaded = info ? LoadResource(stubModule_, info) : nullptr;
  const void* stub = loaded ? LockResource(loaded) : nullptr;
  if (!stub) throw std::runtime_error("can't find local resources");
  const DWORD stubSize = SizeofResource(stubModule_, info);

  printProgress(kCreatingSfx);
  // A given archive is examined before anything is written: a file that is no ZIP archive would
  // make a setup program that can only fail. The builder's own is one by construction.
  if (setupFileName_.empty()) {
    if (!deleteArchive_) (void)openArchive(archivePath_);
  } else if (!setupFileInArchive(archivePath_, setupFileName_)) {
    printError("Error creating exe file: setup file doesn't exist!!!");
    return false;
  }

  // Written beside the output and put in its place only when complete: a failed build leaves
  // an older file of that name as it was, and nothing half-made.
  const std::wstring output = fullPath(outputPath());
  PendingFile pending;
  if (!writeStub(pending, output, stub, stubSize)) return false;
  const std::wstring file = pending.path();
  if (!addPayloadResources(file, stubSize)) return false;

  const std::wstring stem = fileStem(outputFileName_);
  if (!setVersionString(file, L"OriginalFilename", stem) || !setVersionString(file, L"FileDescription", stem) ||
      (!setupFileName_.empty() && !setVersionString(file, L"ProductName", L"Kelm:Quorda"))) {
    return false;
  }

  const std::uint32_t offset = settleArchiveOffset(file, output);
  if (offset == 0 || !stampHeader(file) || !appendArchive(file, offset)) return false;

  if (deleteArchive_ && !DeleteFileW(archivePath_.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    raiseFileSystemError("remove", archivePath_, GetLastError());
  }
  temporaryArchive.keep();
  if (!pending.replaceTarget()) {
    printSystemError(L"Can't create " + output, GetLastError());
    return false;
  }
  printProgress(kSucceeded);
  return true;
}
