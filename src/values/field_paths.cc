#include "values/field_paths.h"

namespace recorder {
namespace data {

std::string JsonPointerFault(std::string_view path) {
  if (path.empty()) return "";
  if (path[0] != '/') return "a field path must start with \"/\", as in \"/a/b\"";
  for (size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c < 0x20) return "a field path cannot hold control characters";
    if (c == '~' && (i + 1 == path.size() || (path[i + 1] != '0' && path[i + 1] != '1'))) {
      return "\"~\" in a field path must be followed by 0 or 1 (\"~0\" for \"~\", \"~1\" for \"/\")";
    }
  }
  if (!simdjson::validate_utf8(path.data(), path.size())) return "a field path must be UTF-8 text";
  return "";
}

std::string QuotedFieldPath(std::string_view path) {
  const bool utf8 = simdjson::validate_utf8(path.data(), path.size());
  std::string quoted = "\"";
  for (char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || (byte >= 0x80 && !utf8)) {
      constexpr char kHex[] = "0123456789abcdef";
      quoted += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

FieldPaths::FieldPaths(const std::vector<std::string>& paths) {
  for (size_t path_index = 0; path_index < paths.size(); ++path_index) {
    if (paths[path_index].empty()) {
      walkable_ = false;  // the whole document
      continue;
    }
    auto tokens = ParseJsonPointer(paths[path_index]);
    if (!tokens) continue;  // finds nothing
    Node* node = &root_;
    for (PointerToken& token : *tokens) {
      Node* child = nullptr;
      for (Node& existing : node->children) {
        if (existing.key == token.name) child = &existing;
      }
      if (child == nullptr) {
        node->children.push_back(Node{std::move(token.name), token.index, {}, {}, 0});
        child = &node->children.back();
      }
      node = child;
    }
    node->paths.push_back(path_index);
  }
}

}  // namespace data
}  // namespace recorder
