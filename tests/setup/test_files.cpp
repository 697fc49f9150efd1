#include "test_files.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "handles.h"
#include "payload/work_folder.h"

TestFolder::TestFolder() {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  std::random_device random;
  for (;;) {
    path_ = std::wstring(temp) + L"pondrel-test-" + std::to_wstring(random() % 1000000000u);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

TestFolder::~TestFolder() { removeFolderTree(path_); }

void writeFile(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write test file";
}

std::string readFile(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> listFolder(const std::wstring& path) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &data));
  std::sort(names.begin(), names.end());
  return names;
}

std::string utf16le(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string patternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::minstd_rand generator(seed);
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

void writeZip(const std::wstring& path, const std::vector<ZipEntry>& entries) {
  if (entries.empty()) {
    // libzip writes nothing for an archive without entries: write its end record alone.
    writeFile(path, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    return;
  }
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* target = zip_source_win32w_create(path.c_str(), 0, -1, &error);
  zip_t* archive = target ? zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
  zip_error_fini(&error);
  ASSERT_NE(archive, nullptr) << "cannot create test archive";
  for (const ZipEntry& entry : entries) {
    if (!entry.name.empty() && entry.name.back() == '/') {
      ASSERT_GE(zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_GUESS), 0);
      continue;
    }
    // libzip keeps the buffer until the archive is written, so it must outlive zip_close.
    zip_source_t* source = zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
    ASSERT_NE(source, nullptr);
    // Raw names: libzip would otherwise normalise nothing, but be explicit.
    ASSERT_GE(zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_GUESS), 0) << entry.name;
  }
  ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);
}

std::wstring siblingProgram(const std::wstring& name) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder(self, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

std::pair<DWORD, std::string> runAndCapture(const std::wstring& commandLine) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  CreatePipe(&readEnd, &writeEnd, &inherit, 0);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  UniqueHandle reader(readEnd);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  std::wstring line = commandLine;
  const BOOL started =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (!started) return {~0ul, {}};
  UniqueHandle processHandle(process.hProcess), thread(process.hThread);
  std::string output;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(reader.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) output.append(buffer, read);
  WaitForSingleObject(processHandle.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(processHandle.get(), &code);
  return {code, output};
}

std::wstring imageWithResources(const std::wstring& folder,
                                const std::vector<std::pair<WORD, std::string>>& resources) {
  static int counter = 0;
  const std::wstring copy = folder + L"\\image" + std::to_wstring(++counter) + L".exe";
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  EXPECT_TRUE(CopyFileW(self, copy.c_str(), FALSE));
  if (resources.empty()) return copy;
  HANDLE update = BeginUpdateResourceW(copy.c_str(), FALSE);
  EXPECT_NE(update, nullptr);
  for (const auto& [id, data] : resources) {
    const bool remove = data == "<delete>";
    EXPECT_TRUE(UpdateResourceW(update, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(id), 0,
                                remove ? nullptr : const_cast<char*>(data.data()),
                                remove ? 0 : static_cast<DWORD>(data.size())));
  }
  EXPECT_TRUE(EndUpdateResourceW(update, FALSE));
  return copy;
}
