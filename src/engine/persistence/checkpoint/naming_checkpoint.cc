#include "engine/persistence/checkpoint/naming_checkpoint.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "engine/persistence/checkpoint/checkpoint_state.h"

namespace psfstore {
namespace core {

namespace {

// Reads the text item by item. Field names are whole lines (they may hold spaces);
// everything else is whitespace-separated numbers and function names.
class TextReader {
 public:
  explicit TextReader(const std::string& text) : text_{text} {}

  bool Line(std::string& line) {
    if (position_ >= text_.size()) return false;
    size_t end = text_.find('\n', position_);
    if (end == std::string::npos) end = text_.size();
    line.assign(text_, position_, end - position_);
    // Past the line break, but never past the end: a last line without one must
    // leave the reader at the end, where every later read fails cleanly.
    position_ = std::min(end + 1, text_.size());
    return true;
  }

  bool Word(std::string_view& word) {
    while (position_ < text_.size() && IsSpace(text_[position_])) ++position_;
    size_t start = position_;
    while (position_ < text_.size() && !IsSpace(text_[position_])) ++position_;
    word = std::string_view{text_}.substr(start, position_ - start);
    return !word.empty();
  }

  // The rest of the current line must be empty: a count stands alone on its line.
  bool EndOfLine() {
    while (position_ < text_.size() && text_[position_] != '\n' && IsSpace(text_[position_])) ++position_;
    if (position_ < text_.size() && text_[position_] != '\n') return false;
    if (position_ < text_.size()) ++position_;
    return true;
  }

  template <class Number>
  bool Read(Number& number, Number limit = std::numeric_limits<Number>::max()) {
    std::string_view word;
    if (!Word(word)) return false;
    auto [end, code] = std::from_chars(word.data(), word.data() + word.size(), number);
    return code == std::errc{} && end == word.data() + word.size() && number <= limit;
  }

  bool AtEnd() {
    std::string_view word;
    return !Word(word);
  }

 private:
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

  const std::string& text_;
  size_t position_ = 0;
};

// Counts are bounded by the id spaces they index, so a corrupt count cannot make the
// reader reserve absurd amounts of memory.
constexpr uint64_t kMaxCount = uint64_t{1} << 32;

void FormatPredicates(std::string& text, const std::vector<NamingCheckpoint::Predicate>& predicates) {
  text += std::to_string(predicates.size()) + "\n";
  for (const auto& predicate : predicates) {
    text += std::to_string(predicate.fields.size());
    for (uint16_t field : predicate.fields) text += " " + std::to_string(field);
    text += " " + std::to_string(predicate.library_id) + " " + predicate.function_name + "\n";
  }
}

template <class Id>
void FormatIds(std::string& text, const std::vector<Id>& ids) {
  text += std::to_string(ids.size()) + "\n";
  for (Id id : ids) text += std::to_string(id) + "\n";
}

Status Refuse(const std::string& why) { return Status{Status::Corruption, "naming file: " + why}; }

Status ParsePredicates(TextReader& reader, size_t field_count, std::vector<NamingCheckpoint::Predicate>& predicates,
                       const char* table) {
  uint64_t count = 0;
  if (!reader.Read(count, kMaxCount)) return Refuse(std::string{"bad "} + table + " predicate count");
  for (uint64_t i = 0; i < count; ++i) {
    NamingCheckpoint::Predicate predicate;
    uint64_t field_ids = 0;
    if (!reader.Read(field_ids, uint64_t{0xFFFF})) {
      return Refuse(std::string{"bad field count of "} + table + " predicate " + std::to_string(i));
    }
    for (uint64_t f = 0; f < field_ids; ++f) {
      uint32_t field = 0;
      if (!reader.Read(field) || field >= field_count) {
        return Refuse(std::string{"bad field id in "} + table + " predicate " + std::to_string(i));
      }
      predicate.fields.push_back(static_cast<uint16_t>(field));
    }
    std::string_view function;
    if (!reader.Read(predicate.library_id, std::numeric_limits<int64_t>::max()) || !reader.Word(function)) {
      return Refuse(std::string{"bad library or function of "} + table + " predicate " + std::to_string(i));
    }
    if (predicate.library_id != kBuiltInLibrary) {
      return Refuse(std::string{table} + " predicate " + std::to_string(i) + " names library " +
                               std::to_string(predicate.library_id));
    }
    predicate.function_name = std::string{function};
    // The only built-in predicate is the projection of one field; anything else would
    // be evaluated as one and read fields it does not have.
    if (predicate.function_name != kProjectionFunctionName || predicate.fields.size() != 1) {
      return Refuse(std::string{table} + " predicate " + std::to_string(i) + " is not a projection of one field");
    }
    predicates.push_back(std::move(predicate));
  }
  return Status::Ok;
}

template <class Id>
Status ParseIds(TextReader& reader, size_t table_size, std::vector<Id>& ids, const char* table) {
  uint64_t count = 0;
  if (!reader.Read(count, kMaxCount)) return Refuse(std::string{"bad active "} + table + " count");
  for (uint64_t i = 0; i < count; ++i) {
    Id id = 0;
    if (!reader.Read(id) || id >= table_size) return Refuse(std::string{"bad active "} + table + " id");
    ids.push_back(id);
  }
  // An active list is a set: its order carries nothing and a repeat adds nothing.
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return Status::Ok;
}

}  // namespace

NamingCheckpoint NamingCheckpoint::Capture(const PsfRegistry& registry) {
  NamingCheckpoint checkpoint;
  for (size_t id = 0; id < registry.field_count(); ++id) {
    checkpoint.field_names.push_back(registry.field_name(static_cast<uint16_t>(id)));
  }
  checkpoint.libraries = registry.libraries();
  for (size_t id = 0; id < registry.general_psf_count(); ++id) {
    const GeneralPsf& psf = registry.general_psf(static_cast<uint16_t>(id));
    checkpoint.general_predicates.push_back(Predicate{psf.fields, psf.library_id, psf.function_name});
  }
  for (size_t id = 0; id < registry.inline_psf_count(); ++id) {
    const InlinePsf& psf = registry.inline_psf(static_cast<uint32_t>(id));
    checkpoint.inline_predicates.push_back(Predicate{psf.fields, psf.library_id, psf.function_name});
  }
  const PsfConfiguration& active = registry.active_configuration();
  checkpoint.active_general = active.general_set;
  checkpoint.active_inline = active.inline_set;
  return checkpoint;
}

Status NamingCheckpoint::Format(std::string& text) const {
  text.clear();
  text += std::to_string(field_names.size()) + "\n";
  for (const std::string& name : field_names) {
    if (name.empty() || name.find_first_of("\n\r") != std::string::npos) {
      return Status{Status::IOError, "field name \"" + name + "\" cannot be written on one line"};
    }
    text += name + "\n";
  }
  text += std::to_string(libraries.size()) + "\n";
  for (const std::string& library : libraries) text += library + "\n";
  FormatPredicates(text, general_predicates);
  FormatPredicates(text, inline_predicates);
  FormatIds(text, active_general);
  FormatIds(text, active_inline);
  return Status::Ok;
}

Status NamingCheckpoint::Parse(const std::string& text, NamingCheckpoint& checkpoint) {
  checkpoint = NamingCheckpoint{};
  TextReader reader{text};
  uint64_t field_count = 0;
  if (!reader.Read(field_count, uint64_t{PsfRegistry::kMaxFields}) || !reader.EndOfLine()) {
    return Refuse("bad field count");
  }
  for (uint64_t i = 0; i < field_count; ++i) {
    std::string name;
    if (!reader.Line(name)) return Refuse("missing field name " + std::to_string(i));
    if (!name.empty() && name.back() == '\r') name.pop_back();
    // Only names the store could write back: the recovered store checkpoints them again.
    if (name.empty() || name.find('\r') != std::string::npos) {
      return Refuse("bad field name " + std::to_string(i));
    }
    // Ids are positions in this list; a repeated name would get the earlier one's id.
    if (std::find(checkpoint.field_names.begin(), checkpoint.field_names.end(), name) != checkpoint.field_names.end()) {
      return Refuse("field name " + std::to_string(i) + " repeats an earlier one");
    }
    checkpoint.field_names.push_back(std::move(name));
  }
  uint64_t library_count = 0;
  if (!reader.Read(library_count, kMaxCount)) return Refuse("bad library count");
  if (library_count != 0) {
    return Refuse("lists " + std::to_string(library_count) +
                             " predicate libraries; this store loads none");
  }
  Status status = ParsePredicates(reader, field_count, checkpoint.general_predicates, "general");
  if (status != Status::Ok) return status;
  if (checkpoint.general_predicates.size() > PsfRegistry::kMaxGeneralPsfs) {
    return Refuse("too many general predicates");
  }
  status = ParsePredicates(reader, field_count, checkpoint.inline_predicates, "inline");
  if (status != Status::Ok) return status;
  // Inline predicates exist only as library functions; none is built in.
  if (!checkpoint.inline_predicates.empty()) return Refuse("inline predicates need a library");
  status = ParseIds(reader, checkpoint.general_predicates.size(), checkpoint.active_general, "general");
  if (status != Status::Ok) return status;
  status = ParseIds(reader, checkpoint.inline_predicates.size(), checkpoint.active_inline, "inline");
  if (status != Status::Ok) return status;
  if (!reader.AtEnd()) return Refuse("unexpected text after the active predicate lists");
  return Status::Ok;
}

Status NamingCheckpoint::ApplyTo(PsfRegistry& registry) const {
  if (registry.field_count() != 0 || registry.general_psf_count() != 0 || registry.inline_psf_count() != 0) {
    return Status{Status::Aborted, "the predicate registry is not empty"};
  }
  for (const std::string& name : field_names) registry.AddField(name);
  for (const Predicate& predicate : general_predicates) {
    registry.AddGeneralPsf(GeneralPsf{predicate.fields, nullptr, predicate.library_id, predicate.function_name});
  }
  std::vector<PsfChange> changes;
  for (uint16_t id : active_general) changes.push_back(PsfChange::AddGeneral(id));
  for (uint32_t id : active_inline) changes.push_back(PsfChange::AddInline(id));
  // Nothing reads the configurations before recovery ends, so both slots can be set.
  registry.BuildConfiguration(0, changes);
  registry.BuildConfiguration(1, changes);
  return Status::Ok;
}

std::map<std::string, uint16_t> NamingCheckpoint::Projections() const {
  std::map<std::string, uint16_t> projections;
  for (uint16_t id : active_general) {
    const Predicate& predicate = general_predicates[id];
    if (predicate.fields.size() != 1) continue;
    const std::string& name = field_names[predicate.fields[0]];
    auto [entry, inserted] = projections.emplace(name, id);
    if (!inserted && id < entry->second) entry->second = id;
  }
  return projections;
}

Status WriteNamingFile(const std::string& path, const PsfRegistry& registry) {
  std::string text;
  Status status = NamingCheckpoint::Capture(registry).Format(text);
  if (status != Status::Ok) return status;
  status = WriteWholeFile(path, text.data(), text.size());
  if (status != Status::Ok) return Status{status.code(), "cannot write " + path};
  return status;
}

Status LoadNamingFile(const std::string& path, NamingCheckpoint& content) {
  std::ifstream file{path, std::ios::binary};
  if (!file) return Status{Status::IOError, "cannot open " + path};
  std::ostringstream buffer;
  buffer << file.rdbuf();
  if (file.bad()) return Status{Status::IOError, "cannot read " + path};
  return NamingCheckpoint::Parse(buffer.str(), content);
}

Status ReadNamingFile(const std::string& path, PsfRegistry& registry, NamingCheckpoint* content) {
  NamingCheckpoint checkpoint;
  Status status = LoadNamingFile(path, checkpoint);
  if (status != Status::Ok) return status;
  status = checkpoint.ApplyTo(registry);
  if (status != Status::Ok) return status;
  if (content != nullptr) *content = std::move(checkpoint);
  return Status::Ok;
}

}  // namespace core
}  // namespace psfstore
