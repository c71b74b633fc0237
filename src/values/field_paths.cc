#include "values/field_paths.h"

namespace recorder {
namespace data {

namespace {

// "~1" stands for "/" and "~0" for "~"; other characters are themselves.
std::string DecodeSegment(std::string_view segment) {
  std::string decoded;
  decoded.reserve(segment.size());
  for (size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] == '~' && i + 1 < segment.size() && (segment[i + 1] == '0' || segment[i + 1] == '1')) {
      decoded.push_back(segment[i + 1] == '0' ? '~' : '/');
      ++i;
    } else {
      decoded.push_back(segment[i]);
    }
  }
  return decoded;
}

// Array indexes are decimal without leading zeros ("0", "12"; not "01" or "-").
std::optional<size_t> ArrayIndex(std::string_view segment) {
  if (segment.empty() || segment.size() > 18 || (segment[0] == '0' && segment.size() > 1)) return std::nullopt;
  size_t index = 0;
  for (char c : segment) {
    if (c < '0' || c > '9') return std::nullopt;
    index = index * 10 + static_cast<size_t>(c - '0');
  }
  return index;
}

}  // namespace

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
    const std::string& path = paths[path_index];
    if (path.empty()) {
      walkable_ = false;  // the whole document
      continue;
    }
    if (path[0] != '/') continue;  // not a pointer: finds nothing
    Node* node = &root_;
    size_t start = 1;
    for (;;) {
      const size_t end = std::min(path.find('/', start), path.size());
      std::string key = DecodeSegment(std::string_view(path).substr(start, end - start));
      if (key.find_first_of("\"\\") != std::string::npos) walkable_ = false;
      Node* child = nullptr;
      for (Node& existing : node->children) {
        if (existing.key == key) child = &existing;
      }
      if (child == nullptr) {
        node->children.push_back(Node{key, ArrayIndex(key), {}, {}, 0});
        child = &node->children.back();
      }
      node = child;
      if (end == path.size()) break;
      start = end + 1;
    }
    node->paths.push_back(path_index);
  }
}

}  // namespace data
}  // namespace recorder
