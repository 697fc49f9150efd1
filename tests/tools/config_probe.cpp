// Drives the launcher file's reader, writer and merge from outside the unit tests.
//   config_probe roundtrip <seed> <count> [corpus-folder]
//     Makes <count> inputs, deterministic by <seed>: random files and mutations of the corpus
//     files. Each goes through read, write and read again; the second read must equal the
//     first, and only a file with the FE FF mark may be refused. A failing input is saved as
//     config-probe-<seed>-<n>.bin in the current folder. Exit 0 when every input passed.
//   config_probe merge <distribution-file> <appdata>
//     Merges with APPDATA set to <appdata>; prints "merged: true" or "merged: false".
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/launcher_config.h"
#include "handles.h"
#include "payload/work_folder.h"

namespace {

using Random = std::mt19937_64;

bool saveBytes(const std::wstring& path, const std::string& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::string loadBytes(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
  return bytes;
}

std::vector<std::string> loadCorpus(const std::wstring& folder) {
  std::vector<std::string> corpus;
  WIN32_FIND_DATAW data;
  UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return corpus;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && data.cFileName[0] != L'.') {
      corpus.push_back(loadBytes(folder + L"\\" + data.cFileName));
    }
  } while (FindNextFileW(find.get(), &data));
  return corpus;
}

size_t below(Random& random, size_t bound) { return bound ? static_cast<size_t>(random() % bound) : 0; }

// Pieces that matter to the reader, more often than chance would give them.
const char* const kTokens[] = {
    "=", "=", "\n", "\r\n", "\r", "\r\r\r\n", "K", "k", "Key", "KEY", "v", "V", " ", "%s", "%n", "\x1A",
    "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF", "\xD0\x91", "\xC3", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xFF",
};

std::string token(Random& random) {
  if (below(random, 8) == 0) return std::string(1, '\0');
  if (below(random, 4) == 0) return std::string(1, static_cast<char>(random()));
  return kTokens[below(random, std::size(kTokens))];
}

std::string utf16Unit(Random& random) {
  static const wchar_t kUnits[] = {L'=', L'\n', L'\r', L'k', L'K', L'v', L' ', 0, 0x1A, 0xD800, 0xDBFF,
                                   0xDC00, 0xDFFF, 0xFEFF, 0xFFFE, 0x0411, 0x00E9};
  const wchar_t unit = below(random, 4) ? kUnits[below(random, std::size(kUnits))] : static_cast<wchar_t>(random());
  return std::string(reinterpret_cast<const char*>(&unit), sizeof(unit));
}

std::string generate(Random& random) {
  static const char* const kMarks[] = {"", "", "", "\xEF\xBB\xBF", "\xFF\xFE", "\xFF\xFE", "\xFE\xFF", "\xEF\xBB"};
  std::string bytes = kMarks[below(random, std::size(kMarks))];
  const bool wide = bytes == "\xFF\xFE";
  const size_t shape = below(random, 1000);
  if (shape == 0) {
    // A line of a megabyte and more.
    bytes += "Key=";
    bytes.append((size_t{1} << 20) + below(random, 4096), static_cast<char>('a' + below(random, 26)));
    return bytes;
  }
  const size_t pieces = shape < 20 ? below(random, 20000) : below(random, 200);
  for (size_t i = 0; i < pieces; ++i) bytes += wide ? utf16Unit(random) : token(random);
  if (wide && below(random, 4) == 0) bytes += 'x';  // odd length
  return bytes;
}

std::string mutate(Random& random, const std::vector<std::string>& corpus) {
  std::string bytes = corpus[below(random, corpus.size())];
  const size_t changes = 1 + below(random, 8);
  for (size_t i = 0; i < changes; ++i) {
    const size_t at = below(random, bytes.size() + 1);
    switch (below(random, 8)) {
      case 0:
        if (at < bytes.size()) bytes[at] = static_cast<char>(bytes[at] ^ (1 << below(random, 8)));
        break;
      case 1:
        bytes.insert(at, token(random));
        break;
      case 2:
        bytes.erase(at, below(random, 16));
        break;
      case 3:
        bytes.insert(at, bytes.substr(below(random, bytes.size() + 1), below(random, 64)));
        break;
      case 4:
        bytes.insert(at, std::string(1 + below(random, 40), '\r'));
        break;
      case 5:
        bytes.resize(at);
        break;
      case 6:
        bytes.insert(at, corpus[below(random, corpus.size())]);
        break;
      default:
        bytes.insert(0, below(random, 2) ? "\xFF\xFE" : "\xEF\xBB\xBF");
        break;
    }
  }
  return bytes;
}

int roundTrip(unsigned long long seed, unsigned long long count, const std::wstring& corpusFolder) {
  const std::vector<std::string> corpus = corpusFolder.empty() ? std::vector<std::string>() : loadCorpus(corpusFolder);
  if (!corpusFolder.empty() && corpus.empty()) {
    std::fputs("error: the corpus folder holds no files\n", stderr);
    return 2;
  }
  WorkFolder workFolder(L"");
  const std::wstring work = workFolder.path();
  if (work.empty()) {
    std::fputs("error: cannot make a working folder\n", stderr);
    return 2;
  }
  const std::wstring input = work + L"\\input.cfg";
  const std::wstring fresh = work + L"\\fresh.cfg";
  Random random(seed);
  unsigned long long mutated = 0, refused = 0, failed = 0;
  const auto started = std::chrono::steady_clock::now();
  for (unsigned long long n = 0; n < count; ++n) {
    const bool fromCorpus = !corpus.empty() && below(random, 4) != 0;
    const std::string bytes = fromCorpus ? mutate(random, corpus) : generate(random);
    mutated += fromCorpus;
    // Odd inputs are written back over themselves, keeping their encoding; even ones to a new file.
    const std::wstring& target = n % 2 ? input : fresh;
    DeleteFileW(fresh.c_str());
    std::string problem;
    ConfigList first, second;
    if (!saveBytes(input, bytes)) {
      problem = "cannot save the input";
    } else if (tryReadConfigFile(input, first) != ConfigRead::read) {
      ++refused;
      // Only the big-endian mark and the UTF-8 mark before bytes that are not UTF-8 are refused.
      const bool notUtf8 = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 && bytes.size() > 3 &&
                           MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + 3,
                                               static_cast<int>(bytes.size() - 3), nullptr, 0) == 0;
      if (bytes.compare(0, 2, "\xFE\xFF") != 0 && !notUtf8) problem = "a readable input was refused";
    } else {
      try {
        writeConfigFile(target, first);
        if (tryReadConfigFile(target, second) != ConfigRead::read) {
          problem = "the written file cannot be read";
        } else if (second != first) {
          problem = "the second read differs from the first";
        }
      } catch (int code) {
        problem = "writing raised " + std::to_string(code);
      }
    }
    if (!problem.empty()) {
      ++failed;
      const std::string name = "config-probe-" + std::to_string(seed) + "-" + std::to_string(n) + ".bin";
      saveBytes(std::wstring(name.begin(), name.end()), bytes);
      std::printf("input %llu: %s (saved as %s)\n", n, problem.c_str(), name.c_str());
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  workFolder.remove();
  std::printf("seed %llu: %llu inputs (%llu mutated from %zu corpus files, %llu generated), %llu refused, "
              "%llu failed, %.1f s (%.2f ms each)\n",
              seed, count, mutated, corpus.size(), count - mutated, refused, failed, seconds,
              count ? seconds * 1000.0 / static_cast<double>(count) : 0.0);
  return failed ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"roundtrip" && argc >= 4) {
    return roundTrip(std::wcstoull(argv[2], nullptr, 10), std::wcstoull(argv[3], nullptr, 10), argc > 4 ? argv[4] : L"");
  }
  if (command == L"merge" && argc == 4) {
    SetEnvironmentVariableW(L"APPDATA", argv[3]);
    std::printf("merged: %s\n", mergeLauncherConfigFile(argv[2]).merged() ? "true" : "false");
    return 0;
  }
  std::fputs("usage: config_probe roundtrip <seed> <count> [corpus-folder]\n"
             "       config_probe merge <distribution-file> <appdata>\n",
             stderr);
  return 2;
}
