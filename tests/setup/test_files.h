#pragma once
// Files, folders and archives for the setup program's tests, made for real in a fresh
// temporary folder per test.
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "file_search.h"  // isFolder

// A fresh folder in the temporary folder, removed with everything in it at the end of the test.
class TestFolder {
 public:
  TestFolder();
  ~TestFolder();
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;
  [[nodiscard]] const std::wstring& path() const { return path_; }
  [[nodiscard]] std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

void writeFile(const std::wstring& path, const std::string& bytes);
[[nodiscard]] std::string readFile(const std::wstring& path);
[[nodiscard]] bool exists(const std::wstring& path);
// Names in a folder, "." and ".." left out, sorted.
[[nodiscard]] std::vector<std::wstring> listFolder(const std::wstring& path);
// The UTF-16LE bytes of a text, without a mark.
[[nodiscard]] std::string utf16le(const std::wstring& text);
// Bytes whose content depends on the position, so that misplaced chunks show.
[[nodiscard]] std::string patternBytes(size_t size, unsigned seed = 1);

struct ZipEntry {
  std::string name;  // stored as given (UTF-8 flag set when not ASCII); a trailing "/" makes a folder entry
  std::string data;
};
// Writes an archive with libzip: entries in the order given, deflated.
void writeZip(const std::wstring& path, const std::vector<ZipEntry>& entries);

// A test program built beside this one (e.g. L"tree_setup.exe").
[[nodiscard]] std::wstring siblingProgram(const std::wstring& name);

// Runs a program with a command line and returns its exit code and standard output.
std::pair<DWORD, std::string> runAndCapture(const std::wstring& commandLine);

// A copy of this test program (a valid image with resources) with RCDATA resources set:
// pairs of id and data; data "<delete>" removes the resource. Returns the copy's path.
[[nodiscard]] std::wstring imageWithResources(const std::wstring& folder,
                                              const std::vector<std::pair<WORD, std::string>>& resources);
