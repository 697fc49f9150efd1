#include "version_block.h"

#include <algorithm>
#include <array>

#include "text.h"

namespace {

constexpr size_t headerSize = 6;  // wLength, wValueLength, wType
constexpr size_t maxFieldValue = 0xFFFF;
constexpr uint16_t textType = 1;

size_t alignUp(size_t offset) { return (offset + 3) & ~size_t{3}; }

uint16_t readWord(const uint8_t* data, size_t at) {
  return static_cast<uint16_t>(data[at] | (data[at + 1] << 8));
}

void appendWord(std::vector<uint8_t>& out, uint16_t word) {
  out.push_back(static_cast<uint8_t>(word & 0xFF));
  out.push_back(static_cast<uint8_t>(word >> 8));
}

void storeWord(std::vector<uint8_t>& out, size_t at, uint16_t word) {
  out[at] = static_cast<uint8_t>(word & 0xFF);
  out[at + 1] = static_cast<uint8_t>(word >> 8);
}

void padTo32Bits(std::vector<uint8_t>& out) {
  while (out.size() % 4 != 0) {
    out.push_back(0);
  }
}

bool keysEqual(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return foldAscii(wchar_t{x}) == foldAscii(wchar_t{y}); });
}

// wchar_t is UTF-16 on Windows and UTF-32 elsewhere; the block is always UTF-16.
// A zero character cannot be stored (it would end the value early).
std::optional<std::u16string> toUtf16(const std::wstring& text) {
  std::u16string result;
  result.reserve(text.size());
  for (wchar_t c : text) {
    auto point = static_cast<uint32_t>(c);
    if (point == 0 || point > 0x10FFFF) {
      return std::nullopt;
    }
    if (point <= 0xFFFF) {
      result.push_back(static_cast<char16_t>(point));
    } else {
      point -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
    }
  }
  return result;
}

std::wstring fromUtf16(const std::u16string& text) {
  std::wstring result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t point = text[i];
    bool pairFollows = point >= 0xD800 && point <= 0xDBFF && i + 1 < text.size() &&
                       text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (sizeof(wchar_t) >= 4 && pairFollows) {
      point = 0x10000 + ((point - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    result.push_back(static_cast<wchar_t>(point));
  }
  return result;
}

// Lookups shared by the const readers and setString (NodeT is Node or const Node).
template <typename NodeT, typename Kind>
NodeT* childOfKind(NodeT& parent, Kind kind) {
  for (auto& child : parent.children) {
    if (child.kind == kind) {
      return &child;
    }
  }
  return nullptr;
}

template <typename NodeT>
NodeT* childWithKey(NodeT* parent, const std::u16string& key) {
  if (parent == nullptr) {
    return nullptr;
  }
  for (auto& child : parent->children) {
    if (keysEqual(child.key, key)) {
      return &child;
    }
  }
  return nullptr;
}

}  // namespace

VersionBlock::NodeKind VersionBlock::kindOf(std::optional<NodeKind> parentKind,
                                            const std::u16string& key) {
  if (!parentKind) {
    return NodeKind::Root;
  }
  switch (*parentKind) {
    case NodeKind::Root:
      if (keysEqual(key, u"StringFileInfo")) {
        return NodeKind::StringFileInfo;
      }
      if (keysEqual(key, u"VarFileInfo")) {
        return NodeKind::VarFileInfo;
      }
      return NodeKind::Opaque;
    case NodeKind::StringFileInfo:
      return NodeKind::StringTable;
    case NodeKind::StringTable:
      return NodeKind::String;
    case NodeKind::VarFileInfo:
      return NodeKind::Var;
    default:
      return NodeKind::Opaque;
  }
}

bool VersionBlock::isLeaf(NodeKind kind) {
  return kind == NodeKind::String || kind == NodeKind::Var || kind == NodeKind::Opaque;
}

// Nesting is bounded by the node kinds: only the root, StringFileInfo, string tables and
// VarFileInfo have children, and everything below them is a leaf, so recursion stays
// at most four levels deep whatever the data says.
std::optional<VersionBlock::Node> VersionBlock::parseNode(const uint8_t* data, size_t start,
                                                          size_t limit,
                                                          std::optional<NodeKind> parentKind) {
  if (start > limit || limit - start < headerSize) {
    return std::nullopt;
  }
  const size_t length = readWord(data, start);
  if (length < headerSize || length > limit - start) {
    return std::nullopt;
  }
  const size_t end = start + length;

  Node node;
  node.valueLength = readWord(data, start + 2);
  node.type = readWord(data, start + 4);
  size_t at = start + headerSize;
  for (;;) {
    if (end - at < 2) {
      return std::nullopt;  // the key runs to the end of the node unterminated
    }
    const char16_t c = readWord(data, at);
    at += 2;
    if (c == 0) {
      break;
    }
    node.key.push_back(c);
  }
  const size_t keyEnd = at;
  node.kind = kindOf(parentKind, node.key);
  if (node.kind == NodeKind::Root && !keysEqual(node.key, u"VS_VERSION_INFO")) {
    return std::nullopt;
  }
  node.original.assign(data + start, data + end);
  const size_t valueStart = std::min(alignUp(keyEnd), end);

  if (isLeaf(node.kind)) {
    node.value.assign(data + valueStart, data + end);
    // A wValueLength counted in bytes (some producers do) lands past the end: no evidence.
    if (node.kind == NodeKind::String) {
      const size_t natural = valueStart + size_t{2} * node.valueLength;
      lengthsIncludeTailPadding_ |= natural < end && end == alignUp(natural);
    }
    return node;
  }

  const size_t valueBytes = node.type == textType ? size_t{2} * node.valueLength : node.valueLength;
  if (valueBytes > end - valueStart) {
    return std::nullopt;
  }
  node.value.assign(data + valueStart, data + valueStart + valueBytes);
  size_t cursor = alignUp(valueStart + valueBytes);
  while (cursor < end) {
    auto child = parseNode(data, cursor, end, node.kind);
    if (!child) {
      return std::nullopt;
    }
    cursor = alignUp(cursor + child->original.size());
    node.children.push_back(std::move(*child));
  }
  return node;
}

std::optional<VersionBlock> VersionBlock::parse(const uint8_t* data, size_t size) {
  if (data == nullptr) {
    return std::nullopt;
  }
  VersionBlock block;
  auto root = block.parseNode(data, 0, size, std::nullopt);
  if (!root) {
    return std::nullopt;
  }
  block.root_ = std::move(*root);
  return block;
}

bool VersionBlock::writeNode(const Node& node, std::vector<uint8_t>& out) const {
  if (!node.changed) {
    out.insert(out.end(), node.original.begin(), node.original.end());
    return true;
  }
  const size_t start = out.size();
  out.resize(start + headerSize);
  for (char16_t c : node.key) {
    appendWord(out, c);
  }
  appendWord(out, 0);
  if (!node.value.empty() || !node.children.empty()) {
    padTo32Bits(out);
    out.insert(out.end(), node.value.begin(), node.value.end());
  }
  for (const Node& child : node.children) {
    padTo32Bits(out);
    if (!writeNode(child, out)) {
      return false;
    }
  }
  if (lengthsIncludeTailPadding_) {
    padTo32Bits(out);
  }
  const size_t length = out.size() - start;
  if (length > maxFieldValue) {
    return false;
  }
  storeWord(out, start, static_cast<uint16_t>(length));
  storeWord(out, start + 2, node.valueLength);
  storeWord(out, start + 4, node.type);
  return true;
}

std::vector<uint8_t> VersionBlock::serialize() const {
  std::vector<uint8_t> out;
  out.reserve(root_.original.size());
  // Cannot fail: unchanged nodes are copies of valid input, and setString only keeps a
  // change after writing it once successfully.
  if (!writeNode(root_, out)) {
    return {};
  }
  return out;
}

std::optional<std::pair<uint16_t, uint16_t>> VersionBlock::firstTranslation() const {
  const Node* translation = childWithKey(childOfKind(root_, NodeKind::VarFileInfo), u"Translation");
  if (translation == nullptr || translation->value.size() < 4) {
    return std::nullopt;
  }
  const uint8_t* pair = translation->value.data();
  return std::make_pair(readWord(pair, 0), readWord(pair, 2));
}

std::optional<std::wstring> VersionBlock::getString(const std::wstring& tableKey,
                                                    const std::wstring& name) const {
  const auto table16 = toUtf16(tableKey);
  const auto name16 = toUtf16(name);
  if (!table16 || !name16) {
    return std::nullopt;
  }
  const Node* info = childOfKind(root_, NodeKind::StringFileInfo);
  const Node* entry = childWithKey(childWithKey(info, *table16), *name16);
  if (entry == nullptr) {
    return std::nullopt;
  }
  // The value runs to its terminator. wValueLength is not consulted: some producers count
  // bytes in it rather than characters, and the node's own end bounds the search anyway.
  const size_t count = entry->value.size() / 2;
  std::u16string text;
  for (size_t i = 0; i < count; ++i) {
    const char16_t c = readWord(entry->value.data(), 2 * i);
    if (c == 0) {
      break;
    }
    text.push_back(c);
  }
  return fromUtf16(text);
}

bool VersionBlock::setString(const std::wstring& tableKey, const std::wstring& name,
                             const std::wstring& value) {
  const auto table16 = toUtf16(tableKey);
  const auto name16 = toUtf16(name);
  const auto value16 = toUtf16(value);
  if (!table16 || !name16 || !value16) {
    return false;
  }

  // Work on a copy so a change that does not fit leaves this block as it was. A value too
  // long for wValueLength makes the string's own wLength overflow first, so writing the
  // copy once catches every length that no longer fits.
  Node root = root_;
  Node* info = childOfKind(root, NodeKind::StringFileInfo);
  Node* table = childWithKey(info, *table16);
  Node* entry = childWithKey(table, *name16);
  if (entry == nullptr) {
    return false;
  }
  entry->value.clear();
  for (char16_t c : *value16) {
    appendWord(entry->value, c);
  }
  appendWord(entry->value, 0);
  entry->valueLength = static_cast<uint16_t>(value16->size() + 1);
  for (Node* node : std::array<Node*, 4>{&root, info, table, entry}) {
    node->changed = true;
  }

  std::vector<uint8_t> trial;
  if (!writeNode(root, trial)) {
    return false;
  }
  root_ = std::move(root);
  return true;
}
