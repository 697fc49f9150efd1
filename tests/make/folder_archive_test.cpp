#include "folder_archive.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "folder_walk.h"
#include "output_name.h"
#include "paths.h"
#include "test_files.h"
#include "text.h"
#include "zip_writer.h"

namespace {

constexpr size_t kChunk = 1 << 20;

// A tree of small texts, a text of two packing chunks and 13 bytes, a random file of that size
// (stored after a look at its start) and a small random one (stored after deflate made it
// longer), in walk order; a folder for the archive and the spools beside it.
struct Tree {
  Tree() {
    for (int i = 0; i < 10; ++i) {
      writeFile(folder / (L"text" + std::to_wstring(i) + L".txt"), std::string(3000 + i, 'a'));
    }
    writeFile(folder / L"big.txt", std::string(2 * kChunk + 13, 'b'));
    writeFile(folder / L"random.bin", patternBytes(2 * kChunk + 13));
    writeFile(folder / L"tiny.bin", patternBytes(13));
    WalkedFolders folders;
    walkFolder(extendedPath(folder.path()), folder.path(), folders,
               [this](WalkedFile&& file) { order.push_back(file.name); });
  }

  TestFolder folder;
  TestFolder spools;
  std::vector<std::wstring> order;
};

}  // namespace

TEST(FolderArchive, FirstFileInWalkOrderThatCannotBeReadIsNamedAndNothingStays) {
  const std::vector<std::pair<unsigned, std::vector<std::wstring>>> cases = {
      {1, {L"text7.txt"}},
      {4, {L"text9.txt", L"text3.txt"}},
      {4, {L"random.bin", L"text2.txt"}},
      {2, {L"tiny.bin", L"big.txt"}},
  };
  for (const auto& [workers, held] : cases) {
    Tree tree;
    std::vector<UniqueFile> handles;
    size_t first = tree.order.size();
    for (const std::wstring& name : held) {
      handles.emplace_back(CreateFileW((tree.folder / name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(handles.back()) << toNarrow(name);
      first = std::min<size_t>(first, std::find(tree.order.begin(), tree.order.end(), name) - tree.order.begin());
    }
    const std::string context = std::to_string(workers) + " workers, first held " + toNarrow(tree.order[first]);
    try {
      FolderArchive archive(tree.spools / L"out.zip", L"out.zip", tree.spools.path());
      archive.write(extendedPath(tree.folder.path()), tree.folder.path(), workers);
      ADD_FAILURE() << context << ": no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), "Can't add file to zip: " + toNarrow(tree.folder / tree.order[first])) << context;
    }
    EXPECT_EQ(listFolder(tree.spools.path()), std::vector<std::wstring>()) << context;
  }
}

TEST(ZipWriter, ArchivesOfMoreThan65535EntriesEndWithTheZip64Records) {
  for (const unsigned count : {3u, 65536u}) {
    TestFolder folder;
    const std::wstring path = folder / L"many.zip";
    {
      UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      ZipWriter writer(file.get());
      for (unsigned i = 0; i < count; ++i) {
        const std::string data = std::to_string(i);
        ZipEntryInfo entry;
        entry.name = "d\\" + data;
        entry.size = entry.packedSize = data.size();
        entry.crc = static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
        ASSERT_TRUE(writer.begin(entry) && writer.data(data.data(), data.size())) << count;
      }
      ASSERT_TRUE(writer.finish()) << count;
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_win32w_create(path.c_str(), 0, -1, &error);
    zip_t* archive = source ? zip_open_from_source(source, 0, &error) : nullptr;
    ASSERT_NE(archive, nullptr) << count << ": " << zip_error_strerror(&error);
    EXPECT_EQ(zip_get_num_entries(archive, 0), count);
    const std::string last = std::to_string(count - 1);
    char data[16] = {};
    zip_file_t* entry = zip_fopen(archive, ("d\\" + last).c_str(), 0);
    ASSERT_NE(entry, nullptr) << count;
    EXPECT_EQ(zip_fread(entry, data, sizeof(data)), static_cast<zip_int64_t>(last.size())) << count;
    EXPECT_EQ(zip_fclose(entry), 0) << count << ": the CRC does not match";
    EXPECT_EQ(std::string(data), last) << count;
    zip_discard(archive);
    zip_error_fini(&error);
  }
}

TEST(OutputName, OnlyPlainFileNamesBelowTheOutputFolderAreTaken) {
  const std::vector<std::pair<std::wstring, bool>> cases = {
      {L"Setup.exe", true},          {L"sub\\x.exe", true},       {L"a/b/Установка.exe", true},
      {L"z.v2.exe", true},           {L"console.exe", true},      {L"COM10.exe", true},
      {L"X.exe:ads.exe", false},     {L"C:x.exe", false},         {L"C:\\x.exe", false},
      {L"\\x.exe", false},           {L"\\\\server\\s\\x.exe", false}, {L"sub\\\\x.exe", false},
      {L"..\\x.exe", false},         {L".\\x.exe", false},        {L"sub.\\x.exe", false},
      {L"sub \\x.exe", false},       {L"x?.exe", false},          {L"a*b.exe", false},
      {L"a|b.exe", false},           {L"a\"b.exe", false},        {L"a<b>.exe", false},
      {L"a\tb.exe", false},          {L"CON.exe", false},         {L"nul .exe", false},
      {L"sub\\aux.exe", false},      {L"Com1.exe", false},        {L"lpt\u00B9.exe", false},
      {L"CONOUT$.exe", false},
  };
  for (const auto& [name, plain] : cases) EXPECT_EQ(isPlainFileName(name), plain) << toNarrow(name, CP_UTF8);
}
