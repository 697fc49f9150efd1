// The setup program's image where no Windows is at hand: the carried stub's resources rewritten
// in memory by the builder's own resource writer, then written out whole.
#include <cwchar>

#include "carried_stub.h"
#include "console.h"
#include "failure.h"
#include "file_io.h"
#include "payload_format.h"
#include "pe_resources.h"
#include "setup_image.h"
#include "version_block.h"

namespace {

// Each rewrite can move the image's end; a few rounds always settle it.
constexpr int kLayoutRounds = 4;
constexpr std::uint16_t kVersionType = 16;  // RT_VERSION

const ResourceKey kPayloadType{kPayloadResourceType, {}};

PeResources::Bytes bytesOf(const std::string& text) { return PeResources::Bytes(text.begin(), text.end()); }

// Replaces the string `name` of the version information's first translation, as the platform's
// version calls find it: the first language of version resource 1.
bool setVersionString(PeResources& resources, const std::wstring& name, const std::wstring& value) {
  const ResourceKey type{kVersionType, {}}, id{1, {}};
  const auto names = resources.tree().find(type);
  const auto languages = names == resources.tree().end() ? nullptr : &names->second;
  const auto found = languages ? languages->find(id) : decltype(languages->find(id)){};
  if (!languages || found == languages->end() || found->second.empty()) {
    printError("file version info size equals to zero");
    return false;
  }
  const PeResources::Bytes& data = found->second.begin()->second;
  std::optional<VersionBlock> block = VersionBlock::parse(data.data(), data.size());
  const auto translation = block ? block->firstTranslation() : std::nullopt;
  wchar_t table[16];
  if (translation) std::swprintf(table, 16, L"%04x%04x", translation->first, translation->second);
  if (!translation || !block->setString(table, name, value)) {
    printError(L"can't query version info property: " + name);
    return false;
  }
  resources.set(type, id, translation->first, block->serialize());
  return true;
}

}  // namespace

std::uint32_t writeSetupImage(PendingFile&, UniqueFile& file, const std::wstring& output, const ImageRequest& request) {
  const CarriedStub stub = carriedStub();
  if (stub.size == 0) throw Failure("can't find local resources");
  PeResources::Bytes image(stub.data, stub.data + stub.size);
  PeResources resources;
  std::string error;
  if (!resources.read(image, error)) {
    printError("Begin update error: " + error);
    return 0;
  }
  // Without the setup name the program would run in distribution mode instead of the setup file.
  if (!request.setupFileName.empty()) {
    PeResources::Bytes name = bytesOf(request.setupFileName);
    name.push_back(0);
    resources.set(kPayloadType, ResourceKey{kSetupNameResourceId, {}}, kPayloadResourceLanguage, std::move(name));
  }
  if (!setVersionString(resources, L"OriginalFilename", request.stem) ||
      !setVersionString(resources, L"FileDescription", request.stem) ||
      (!request.setupFileName.empty() && !setVersionString(resources, L"ProductName", L"Kelm:Quorda"))) {
    return 0;
  }
  // The archive starts at the image's end, which the recorded offset must name: recorded, the
  // image rebuilt, until the two agree.
  std::uint64_t end = stub.size;
  for (int round = 0; round < kLayoutRounds; ++round) {
    resources.set(kPayloadType, ResourceKey{kPayloadOffsetResourceId, {}}, kPayloadResourceLanguage,
                  bytesOf(archiveOffsetText(end)));
    PeResources::Bytes rebuilt = image;
    if (!resources.write(rebuilt, error)) {
      printError("End update error: " + error);
      return 0;
    }
    if (rebuilt.size() >= 0xFFFFFFFFull) break;
    if (rebuilt.size() == end) {
      if (!writeAll(file.get(), rebuilt.data(), rebuilt.size())) {
        printSystemError(L"Can't write the setup program image to " + output, lastSystemError());
        return 0;
      }
      file.reset();
      return static_cast<std::uint32_t>(end);
    }
    end = rebuilt.size();
  }
  printError(L"Can't record where the archive starts in " + output);
  return 0;
}
