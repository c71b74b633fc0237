// The naming file of a log checkpoint: the predicate registry as text, so that a
// recovered store evaluates the same predicates under the same ids.
//
//   <field count>            then one field name per line, in id order
//   <library count>          then one library path per line
//   <general predicate count> then per predicate: <field count> <field id>... <library> <function>
//   <inline predicate count>  the same layout
//   <active general count>    then one id per line (a set: any order, repeats ignored)
//   <active inline count>     then one id per line
//
// This store registers only built-in projections (library -1) and never writes a
// library line. Reading refuses a file that names a library: loading code named by
// a file in the store directory would run whatever was put there in the host process.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/status.h"
#include "engine/core/predicate.h"
#include "engine/core/psf_registry.h"

namespace psfstore {
namespace core {

// The content of a naming file, parsed and checked but not yet applied.
struct NamingCheckpoint {
  struct Predicate {
    std::vector<uint16_t> fields;
    int64_t library_id = kBuiltInLibrary;
    std::string function_name;
  };

  std::vector<std::string> field_names;
  std::vector<std::string> libraries;
  std::vector<Predicate> general_predicates;
  std::vector<Predicate> inline_predicates;
  std::vector<uint16_t> active_general;
  std::vector<uint32_t> active_inline;

  // A snapshot of `registry`'s tables and active configuration.
  static NamingCheckpoint Capture(const PsfRegistry& registry);

  // The file's text. Fails (IOError, with the reason) for a field name that holds a
  // line break or is empty, which the line-per-name layout cannot carry.
  Status Format(std::string& text) const;

  // Parses `text`. Corruption, with the reason, when it is malformed (bad
  // or missing numbers, ids out of range, trailing content), names any library, or
  // lists a predicate that is not built in.
  static Status Parse(const std::string& text, NamingCheckpoint& checkpoint);

  // Fills `registry`, which must be empty (Aborted otherwise, changing nothing), and
  // makes the recorded active predicates the configuration of both slots.
  Status ApplyTo(PsfRegistry& registry) const;

  // Field name -> the lowest active general predicate id over that field alone: what a
  // server's table of projections held when the checkpoint was taken.
  std::map<std::string, uint16_t> Projections() const;
};

// Writes `registry`'s naming file at `path`. IOError when it cannot be written whole.
Status WriteNamingFile(const std::string& path, const PsfRegistry& registry);

// Reads and checks the naming file at `path` without applying it. IOError when the
// file cannot be read, Corruption when it is malformed or names a library.
Status LoadNamingFile(const std::string& path, NamingCheckpoint& content);

// Reads and checks the naming file at `path` and applies it to `registry`. IOError
// when the file cannot be read, Corruption when it is malformed or names a library;
// on any failure `registry` is left untouched.
Status ReadNamingFile(const std::string& path, PsfRegistry& registry, NamingCheckpoint* content = nullptr);

}  // namespace core
}  // namespace psfstore
