#pragma once

// In-memory form of a VS_VERSIONINFO block (the data of an RT_VERSION resource).
//
// The block is a tree of nodes; each node is
//   WORD wLength, WORD wValueLength, WORD wType, WCHAR szKey[] (zero-terminated),
//   padding to 32 bits, Value, padding to 32 bits, Children
// with every WORD and WCHAR little-endian, whatever the host. Offsets are aligned
// relative to the start of the block.
//
// Only the parts the builder needs are interpreted: the root, StringFileInfo with its
// string tables and strings, and VarFileInfo with its Var entries. Any other child of the
// root is carried along as opaque bytes. Nodes that were not changed are written back
// exactly as they were read; a changed string and its ancestors are re-laid out with
// their lengths and paddings recomputed, so a value may grow or shrink freely.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class VersionBlock {
 public:
  // Reads the block at data. The root's wLength says where the block ends; bytes beyond
  // it (GetFileVersionInfoW leaves a work area there) are ignored and not kept.
  // Returns nullopt for anything malformed: a length beyond the buffer or below the
  // header size, a child running past its parent, a key without its terminator, a value
  // past the end of its node, or a root key other than "VS_VERSION_INFO". Never reads
  // outside [data, data + size).
  [[nodiscard]] static std::optional<VersionBlock> parse(const uint8_t* data, size_t size);

  // First (language, code page) pair of \VarFileInfo\Translation, or nullopt when the
  // block has no translation entry.
  [[nodiscard]] std::optional<std::pair<uint16_t, uint16_t>> firstTranslation() const;

  // Value of string `name` in the string table `tableKey` (like L"040904e4"), without its
  // terminator, or nullopt when either does not exist. Table and string names are matched
  // ignoring the case of ASCII letters.
  [[nodiscard]] std::optional<std::wstring> getString(const std::wstring& tableKey,
                                                      const std::wstring& name) const;

  // Replaces the value of an existing string; the block grows or shrinks as needed.
  // Returns false and leaves the block unchanged when the table or the string does not
  // exist, when the value holds a zero character or a character beyond U+10FFFF, or when
  // the grown block would no longer fit the 16-bit length fields.
  [[nodiscard]] bool setString(const std::wstring& tableKey, const std::wstring& name,
                               const std::wstring& value);

  // The block as resource data: exactly root-wLength bytes, ready for UpdateResourceW.
  [[nodiscard]] std::vector<uint8_t> serialize() const;

 private:
  enum class NodeKind { Root, StringFileInfo, StringTable, String, VarFileInfo, Var, Opaque };

  struct Node {
    NodeKind kind = NodeKind::Opaque;
    uint16_t valueLength = 0;  // wValueLength as read (or as set for a changed string)
    uint16_t type = 0;         // wType
    std::u16string key;
    // Containers: the wValueLength-sized value (the fixed file info of the root).
    // Leaves: every byte after the key's padding up to the end of the node.
    std::vector<uint8_t> value;
    std::vector<Node> children;
    // Bytes of the node exactly as read; written back while `changed` is false.
    std::vector<uint8_t> original;
    bool changed = false;
  };

  // parseNode notes the producer's length convention; writeNode follows it.
  [[nodiscard]] std::optional<Node> parseNode(const uint8_t* data, size_t start, size_t limit,
                                              std::optional<NodeKind> parentKind);
  [[nodiscard]] static NodeKind kindOf(std::optional<NodeKind> parentKind,
                                       const std::u16string& key);
  [[nodiscard]] static bool isLeaf(NodeKind kind);
  [[nodiscard]] bool writeNode(const Node& node, std::vector<uint8_t>& out) const;

  Node root_;
  // Some producers count the padding after a node's last byte in its wLength; the resource
  // compiler does not. Noticed while parsing (a string whose wLength covers the padding after
  // its value) and followed for the nodes that are rewritten. A block whose values all end
  // on a 32-bit boundary shows no convention and is taken for the resource compiler's.
  bool lengthsIncludeTailPadding_ = false;
};
