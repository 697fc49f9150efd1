#include <filesystem>
#include <stdexcept>

#include "console.h"
#include "folder_archive.h"
#include "paths.h"
#include "sfx_builder.h"
#include "text.h"

namespace fs = std::filesystem;

bool SfxBuilder::buildFromFolder(const std::string& folder) {
  temporaryArchive_ = toNarrow((fs::path(tempFolder_) / L"tmpzipfile.zip").wstring());
  const fs::path temporary(toWide(temporaryArchive_));
  fs::remove(temporary);

  // Abandoned unless it is written below: nothing is written for a failed walk.
  FolderArchive archive(temporary.wstring(), temporaryArchive_, tempFolder_);
  const fs::path input(toWide(folder));
  if (!fs::is_directory(input)) {
    throw std::runtime_error("Directory doesn't exist or isn't a directory: " + folder);
  }
  printProgress(kArchiving);
  archive.write(extendedPath(input.wstring()), input.wstring(), 0 /* one compressing thread per processor */);
  return buildFromArchive(temporaryArchive_);
}
