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
#include "setup_image.h"
#include "source_date.h"
#include "text.h"
#include "zip_writer.h"

namespace {

constexpr std::uint32_t kCopyChunk = 10'000'000;
constexpr int kCopyAttempts = 3;

std::wstring lastComponent(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
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

SfxBuilder::SfxBuilder() : tempFolder_(std::filesystem::temp_directory_path().wstring()) {}

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
  zip_source_t* source = zip_source_file_create(toUtf8(archivePath).c_str(), 0, -1, &error);
  zip_t* archive = source ? zip_open_from_source(source, 0, &error) : nullptr;
  zip_error_fini(&error);
  if (!archive) {
    if (source) zip_source_free(source);
    throw std::runtime_error("Can't open zip: " + toNarrow(archivePath));
  }
  return ArchiveOwner(archive, zip_discard);
}

}  // namespace

bool setupFileInArchive(const std::wstring& archivePath, const std::string& name, unsigned codePage) {
  const ArchiveOwner owner = openArchive(archivePath);
  zip_t* archive = owner.get();
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t stat;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) != 0 || !stat.name) continue;
    // libzip gives names as UTF-8; the setup file name is in its code page.
    const std::string entry = toNarrow(fromUtf8(stat.name), codePage);
    const size_t slash = entry.find_last_of("\\/");
    if ((slash == std::string::npos ? entry : entry.substr(slash + 1)) == name) return true;
  }
  return false;
}

bool SfxBuilder::stampHeader(const std::wstring& output) {
  const std::optional<std::uint32_t> seconds = readSourceDate().seconds;
  if (!seconds) return true;
  const UniqueFile file = openToUpdate(output);
  // The header's place: the 32-bit offset at 0x3C; its time stamp 8 bytes on, after the "PE\0\0"
  // signature, the machine and the section count.
  std::uint32_t header = 0;
  if (!file || !readExactlyAt(file.get(), 0x3C, &header, sizeof header) ||
      !writeAt(file.get(), std::uint64_t{header} + 8, &*seconds, sizeof *seconds)) {
    printSystemError(L"Can't stamp " + output, lastSystemError());
    return false;
  }
  return true;
}

bool SfxBuilder::appendArchive(const std::wstring& output, std::uint32_t offset) {
  const UniqueFile target = openToUpdate(output);
  if (!target) {
    printError("Error unloading the exe");
    return false;
  }
  const UniqueFile archive = openToRead(archivePath_);
  if (!archive) {
    printError("Can't open archive for reading!");
    return false;
  }
  std::uint64_t archiveSize = 0;
  (void)sizeOf(archive.get(), archiveSize);
  if (archiveSize + offset >= 0xFFFFFFFFull) {
    printError(kArchiveTooLarge);
    return false;
  }
  const auto size = static_cast<std::uint32_t>(archiveSize);

  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  std::uint32_t copied = 0;
  int failures = 0;
  while (copied < size) {
    std::uint32_t read = 0;
    if (!readAt(archive.get(), copied, buffer.get(), std::min(kCopyChunk, size - copied), read) || read == 0) {
      // A read that keeps failing ends the build after a few tries instead of spinning.
      if (++failures < kCopyAttempts) continue;
      printError("Read file error");
      SystemErrorReport();
      return false;
    }
    if (!writeAt(target.get(), std::uint64_t{offset} + copied, buffer.get(), read)) {
      // Retried where the output stands, a few times.
      if (++failures < kCopyAttempts) continue;
      printError("Can't write archive data to file");
      return false;
    }
    failures = 0;
    copied += read;
  }
  return true;
}

bool SfxBuilder::buildFromArchive(const std::wstring& archivePath) {
  archivePath_ = archivePath;
  // The temporary archive goes with the build whether it completes or not; the user's is kept.
  FileRemoval temporaryArchive(deleteArchive_ ? archivePath_ : std::wstring());

  printProgress(kCreatingSfx);
  // A given archive is examined before anything is written: a file that is no ZIP archive would
  // make a setup program that can only fail. The builder's own is one by construction.
  if (setupFileName_.empty()) {
    if (!deleteArchive_) (void)openArchive(archivePath_);
  } else if (!setupFileInArchive(archivePath_, setupFileName_, codePage_)) {
    printError("Error creating exe file: setup file doesn't exist!!!");
    return false;
  }

  // Written beside the output and put in its place only when complete: a failed build leaves
  // an older file of that name as it was, and nothing half-made.
  const std::wstring output = fullPath(outputPath());
  PendingFile pending;
  UniqueFile file = pending.create(output);
  if (!file) {
    printSystemError(L"Can't create " + output, lastSystemError());
    return false;
  }
  const std::uint32_t offset =
      writeSetupImage(pending, file, output, ImageRequest{setupFileName_, fileStem(outputFileName_)});
  if (offset == 0 || !stampHeader(pending.path()) || !appendArchive(pending.path(), offset)) return false;

  if (deleteArchive_ && !removeFile(archivePath_)) raiseFileSystemError("remove", archivePath_, lastSystemError());
  temporaryArchive.keep();
  if (!pending.replaceTarget()) {
    printSystemError(L"Can't create " + output, lastSystemError());
    return false;
  }
  printProgress(kSucceeded);
  return true;
}
