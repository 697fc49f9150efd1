#pragma once
// The folder of one build's temporary files (the pending output and the removal scope for
// single files are in common/file_io.h).
#include <string>

// A new folder of its own in `parent`, for one build's temporary files; removed with the files
// in it when the scope ends (the build makes no sub-folders).
class BuildFolder {
 public:
  // Raises std::runtime_error "Can't create a temporary folder in <parent>: <reason>".
  explicit BuildFolder(const std::wstring& parent);
  ~BuildFolder();
  BuildFolder(const BuildFolder&) = delete;
  BuildFolder& operator=(const BuildFolder&) = delete;

  [[nodiscard]] const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};
