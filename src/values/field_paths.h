// FieldPaths: the values of a fixed list of JSON Pointer paths (RFC 6901: "/a/b",
// "~1" for "/", "~0" for "~", array elements by index), read from a record in one pass.
//
// Looking each path up separately rewinds the document every time; an extraction of
// several columns per record would scan the record once per column. The paths are
// merged into a tree by their segments instead, and the record's objects and arrays are
// walked once, descending only into members some path continues into. A path finds the
// first member with its name, as a separate lookup would: names are matched by the
// rule of JsonPointer (after JSON unescaping).
//
// A list with the empty path (the whole document) is not walked; `walkable()` is then
// false and the caller looks such lists up path by path. A path that selects nothing
// (no leading "/", a bad "~" escape) never finds anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <simdjson.h>

#include "values/json_pointer.h"

namespace recorder {
namespace data {

// Why `path` can never name a member of a record, or "" when it can: a non-empty path
// must start with "/", use "~" only as "~0" or "~1", be UTF-8 and hold no control
// character (JSON text holds those only escaped, and keys are compared unescaped).
std::string JsonPointerFault(std::string_view path);
// `path` in double quotes for an error message, with control characters, and every
// byte of text that is not UTF-8, written as \xNN: a message must be valid text.
std::string QuotedFieldPath(std::string_view path);

class FieldPaths {
 public:
  explicit FieldPaths(const std::vector<std::string>& paths);

  bool walkable() const { return walkable_; }

  // Calls visit(path index, simdjson::ondemand::value&) for each path the document
  // holds, each at most once, in document order. `visit` may consume a scalar value but
  // must leave an object or array unread (the walk may continue into it). `end` is the
  // end of the document's text. Returns the library's error for a malformed document.
  template <typename Callback>
  simdjson::error_code Read(simdjson::ondemand::document& document, const char* end, Callback&& visit);

 private:
  struct Node {
    std::string key;                  // the decoded segment
    std::optional<size_t> index;      // the segment as an array index, when it is one
    std::vector<size_t> paths;        // paths that end here
    std::vector<Node> children;
    uint64_t visited_in_record = 0;   // the record in which a member matched this node
  };

  template <typename Callback>
  simdjson::error_code Enter(simdjson::ondemand::value value, Node& node, Callback& visit);
  // Walks the members of `json` (a document or a value) when it is an object or array.
  template <typename Json, typename Callback>
  simdjson::error_code Descend(Json& json, Node& node, Callback& visit, bool is_root);
  template <typename Callback>
  simdjson::error_code WalkObject(simdjson::ondemand::object object, Node& node, Callback& visit, bool is_root);
  template <typename Callback>
  simdjson::error_code WalkArray(simdjson::ondemand::array array, Node& node, Callback& visit);

  Node root_;
  bool walkable_ = true;
  uint64_t record_ = 0;
  const char* end_ = nullptr;  // of the text of the document being read
};

template <typename Callback>
simdjson::error_code FieldPaths::Read(simdjson::ondemand::document& document, const char* end, Callback&& visit) {
  ++record_;
  end_ = end;
  return Descend(document, root_, visit, /*is_root=*/true);
}

template <typename Callback>
simdjson::error_code FieldPaths::Enter(simdjson::ondemand::value value, Node& node, Callback& visit) {
  node.visited_in_record = record_;
  if (node.children.empty()) {
    for (size_t path : node.paths) visit(path, value);
    return simdjson::SUCCESS;
  }
  // The type is read first: visiting a text may consume the value.
  simdjson::ondemand::json_type type;
  if (auto error = value.type().get(type)) return error;
  for (size_t path : node.paths) visit(path, value);
  if (type != simdjson::ondemand::json_type::object && type != simdjson::ondemand::json_type::array) {
    return simdjson::SUCCESS;
  }
  return Descend(value, node, visit, /*is_root=*/false);
}

template <typename Json, typename Callback>
simdjson::error_code FieldPaths::Descend(Json& json, Node& node, Callback& visit, bool is_root) {
  simdjson::ondemand::json_type type;
  if (auto error = json.type().get(type)) return error;
  if (type == simdjson::ondemand::json_type::object) {
    simdjson::ondemand::object object;
    if (auto error = json.get_object().get(object)) return error;
    return WalkObject(object, node, visit, is_root);
  }
  if (type == simdjson::ondemand::json_type::array) {
    simdjson::ondemand::array array;
    if (auto error = json.get_array().get(array)) return error;
    return WalkArray(array, node, visit);
  }
  return simdjson::SUCCESS;  // a scalar has no members
}

template <typename Callback>
simdjson::error_code FieldPaths::WalkObject(simdjson::ondemand::object object, Node& node, Callback& visit,
                                            bool is_root) {
  size_t pending = node.children.size();
  for (auto member : object) {
    simdjson::ondemand::field field;
    if (auto error = std::move(member).get(field)) return error;
    std::string_view name;
    if (auto error = MemberName(field, end_, &name)) return error;
    for (Node& child : node.children) {
      if (child.visited_in_record == record_ || name != child.key) continue;
      if (auto error = Enter(field.value(), child, visit)) return error;
      --pending;
      break;
    }
    // At the top level nothing follows the document, so the rest can be left unread.
    if (pending == 0 && is_root) break;
  }
  return simdjson::SUCCESS;
}

template <typename Callback>
simdjson::error_code FieldPaths::WalkArray(simdjson::ondemand::array array, Node& node, Callback& visit) {
  size_t position = 0;
  for (auto element : array) {
    simdjson::ondemand::value value;
    if (auto error = std::move(element).get(value)) return error;
    for (Node& child : node.children) {
      if (child.index != position) continue;
      if (auto error = Enter(value, child, visit)) return error;
      break;
    }
    ++position;
  }
  return simdjson::SUCCESS;
}

}  // namespace data
}  // namespace recorder
