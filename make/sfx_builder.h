#pragma once
// Builds a setup program: the setup stub that this program carries (setup_image.h), with the
// payload resources and version strings added, followed by a ZIP archive that runs to the end
// of the file.
#include <cstdint>
#include <string>

#include "paths.h"

class PendingFile;

class SfxBuilder {
 public:
  // Reads the temporary folder; raises std::filesystem::filesystem_error when it cannot.
  SfxBuilder();

  void setOutputFolder(const std::wstring& folder) { outputFolder_ = folder; }

  enum class OutputName { Accepted, NotExecutable, NotPlain };
  // Takes the name when its extension is ".exe" (any case) and it is a plain file name, perhaps
  // below sub-folders (isPlainFileName). Otherwise prints "Client setup file name is not the exe
  // file!" or "Client setup file name is not a plain file name: <name>" and says which.
  [[nodiscard]] OutputName setOutputFileName(const std::wstring& name);
  // The setup file's name in `codePage`, which entry names are compared in.
  void setSetupFileName(const std::string& name, unsigned codePage) {
    setupFileName_ = name;
    codePage_ = codePage;
  }
  void setDeleteArchive(bool remove) { deleteArchive_ = remove; }

  // Zips `folder` into the temporary archive "tmpzipfile.zip", in a folder of this build's own
  // in the temporary folder (so that builds may run side by side), packing on two threads per
  // processor (FolderArchive), and builds from it; that folder goes when the build ends,
  // complete or not. Raises std::runtime_error (and file-system errors) for failures before the
  // archive is written; returns false after a reported failure of the assembly.
  [[nodiscard]] bool buildFromFolder(const std::wstring& folder);

  // Writes the setup program from `archivePath`, which must be a readable ZIP archive. True when
  // it was written completely. Raises std::runtime_error "can't find local resources" or "Can't
  // open zip: ...". Every resource and version update is checked: one that fails ends the build
  // with its line. The output file appears only complete: a build that fails leaves a file of
  // that name as it was, and removes what it wrote and (with the delete-archive flag) the archive.
  [[nodiscard]] bool buildFromArchive(const std::wstring& archivePath);

  [[nodiscard]] std::wstring outputPath() const { return joinPath(outputFolder_, outputFileName_); }

 private:
  // With SOURCE_DATE_EPOCH set, its seconds become the program header's time stamp.
  [[nodiscard]] bool stampHeader(const std::wstring& output);
  [[nodiscard]] bool appendArchive(const std::wstring& output, std::uint32_t offset);

  std::wstring outputFolder_ = L".";
  std::wstring outputFileName_ = L"Pondrel.exe";
  std::string setupFileName_;
  unsigned codePage_ = 0;
  bool deleteArchive_ = true;
  std::wstring temporaryArchive_ = L"tmpzipfile.zip";
  std::wstring archivePath_;
  std::wstring tempFolder_;
};

// The last path component of `name` without its last extension ("Pondrel.exe" gives
// "Pondrel").
[[nodiscard]] std::wstring fileStem(const std::wstring& name);

// The extension of the last path component (from its last dot), in the ANSI code page with
// A-Z lower-cased; empty when it has none.
[[nodiscard]] std::string lowerExtension(const std::wstring& path);

// Whether the ZIP archive holds an entry whose last name component equals `name` (in
// `codePage`, compared byte for byte). Raises std::runtime_error "Can't open zip: <path>".
[[nodiscard]] bool setupFileInArchive(const std::wstring& archivePath, const std::string& name, unsigned codePage);
