#include <stdexcept>

#include "console.h"
#include "file_system.h"
#include "folder_archive.h"
#include "paths.h"
#include "build_folder.h"
#include "sfx_builder.h"
#include "text.h"

bool SfxBuilder::buildFromFolder(const std::wstring& folder) {
  // The archive keeps its name, in a folder of this build's own: builds side by side never meet.
  const BuildFolder own(tempFolder_);
  temporaryArchive_ = joinPath(own.path(), L"tmpzipfile.zip");

  // Removed unless it is written below: nothing is left of a failed walk.
  FolderArchive archive(temporaryArchive_, temporaryArchive_, own.path());
  if (!isFolder(folder)) {
    throw std::runtime_error("Directory doesn't exist or isn't a directory: " + toNarrow(folder));
  }
  printProgress(kArchiving);
  archive.write(extendedPath(folder), folder, 0 /* one packing thread per processor */);
  return buildFromArchive(temporaryArchive_);
}
