// The bundled sample distribution's setup program: it copies the distribution's "data" folder
// into the user's local application data ("Kelm Sample Client") and tells the user so in a box
// captioned "Kelm Sample Client Setup".
#include <windows.h>
#include <shlobj.h>

#include <string>

namespace {

std::wstring folderOfThisProgram() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self);
  return path.substr(0, path.find_last_of(L'\\'));
}

int copyFolder(const std::wstring& from, const std::wstring& to) {
  CreateDirectoryW(to.c_str(), nullptr);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int copied = 0;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      copied += copyFolder(from + L"\\" + name, to + L"\\" + name);
    } else if (CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE)) {
      ++copied;
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return copied;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t local[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local))) return 1;
  const std::wstring target = std::wstring(local) + L"\\Kelm Sample Client";
  // The setup file lies in "bin"; the data folder beside it.
  const std::wstring distribution = folderOfThisProgram() + L"\\..";
  const int copied = copyFolder(distribution + L"\\data", target);
  const std::wstring text = L"The sample client was installed (" + std::to_wstring(copied) + L" files) to:\n" + target;
  MessageBoxW(nullptr, text.c_str(), L"Kelm Sample Client Setup", MB_OK | MB_ICONINFORMATION);
  return copied > 0 ? 0 : 1;
}
