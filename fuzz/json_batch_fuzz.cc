// Fuzzes the JSON adapter's batch validation and splitting with arbitrary bytes. A batch
// is all or nothing: either it is refused with a fault offset inside the buffer, or every
// record's payload lies inside the buffer, is itself exactly one valid document, and the
// records come out in order without overlapping. Splitting the same batch through small
// windows must give the same records whenever every document fits in a window, or refuse
// it when a top-level number or literal was cut. The one pass (also with its first stage
// cut into chunks of a few bytes) and the check then the walk, with the check on a helper
// thread, must judge every batch alike and give the same records, fields and values.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/padded_buffer.h"
#include "json/simdjson_adapter.h"
#include "json/structural_walk.h"
#include "values/value_polynomial.h"

using psfstore::adapter::SIMDJsonAdapter;
using psfstore::core::PaddedBuffer;
using psfstore::core::Status;

namespace {

std::vector<std::string> FieldNames() { return {"/a", "/b/0", "", "/c~1d", "/a/x/y"}; }

// Payload offsets and sizes of the records of an accepted batch, checked for order.
std::vector<std::pair<size_t, size_t>> RecordSpans(SIMDJsonAdapter& adapter, const PaddedBuffer& buffer) {
  std::vector<std::pair<size_t, size_t>> spans;
  const char* begin = buffer.view().data();
  size_t end_of_previous = 0;
  while (adapter.HasNext()) {
    auto record = adapter.NextRecord();
    if (record.payload.data() < begin) std::abort();
    size_t offset = static_cast<size_t>(record.payload.data() - begin);
    if (offset < end_of_previous || offset + record.payload.size() > buffer.view().size()) std::abort();
    if (record.payload.empty()) std::abort();
    for (const auto& field : record.fields) {
      if (field.index >= FieldNames().size()) std::abort();
      if (field.token.data() < record.payload.data() ||
          field.token.data() + field.token.size() > record.payload.data() + record.payload.size()) {
        std::abort();
      }
    }
    end_of_previous = offset + record.payload.size();
    spans.emplace_back(offset, record.payload.size());
  }
  return spans;
}

// Every record's place and every field's token and value.
std::string Described(const std::vector<std::pair<size_t, size_t>>& spans,
                      const std::vector<std::span<const psfstore::adapter::FieldRef>>& fields) {
  std::string described;
  for (size_t r = 0; r < spans.size(); ++r) {
    described += std::to_string(spans[r].first) + "+" + std::to_string(spans[r].second) + ":";
    for (const auto& field : fields[r]) {
      uint64_t words[3];
      field.value.WriteWords(words);
      described += " " + std::to_string(field.index) + std::string{field.token} + "=" + std::to_string(words[0]) +
                   "/" + std::to_string(static_cast<int>(field.value_error)) + "/" + std::to_string(words[1]) + "/" +
                   std::to_string(words[2]);
      const std::string_view bytes = field.value.bytes();
      if (field.has_value_polynomial &&
          field.value_polynomial != recorder::data::ContinueValuePolynomial(0, bytes.data(), bytes.size())) {
        described += " (wrong value polynomial)";
      }
    }
    described += '\n';
  }
  return described;
}

std::string Described(SIMDJsonAdapter& adapter, const PaddedBuffer& buffer) {
  std::vector<std::pair<size_t, size_t>> spans;
  std::vector<std::span<const psfstore::adapter::FieldRef>> fields;
  for (size_t r = 0; r < adapter.record_count(); ++r) {
    auto record = adapter.record(r);
    spans.emplace_back(record.payload.data() - buffer.view().data(), record.payload.size());
    fields.push_back(record.fields);
  }
  return Described(spans, fields);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SIMDJsonAdapter whole(FieldNames());
  static SIMDJsonAdapter windowed(FieldNames(), 128);
  static SIMDJsonAdapter single(FieldNames());
  static SIMDJsonAdapter beside(FieldNames());
  beside.set_passes(SIMDJsonAdapter::Passes::CheckThenWalk);
  beside.set_check_placement(SIMDJsonAdapter::CheckPlacement::Helper);
  static const psfstore::adapter::FieldLookup lookup(FieldNames());
  static psfstore::adapter::StructuralWalk small_chunks(lookup, 8);
  static simdjson::ondemand::parser scalar_parser;
  PaddedBuffer buffer(std::string_view(reinterpret_cast<const char*>(data), size));

  Status status = whole.Load(buffer);
  Status beside_status = beside.Load(buffer);
  if (beside_status != status || beside_status.message() != status.message()) std::abort();
  if (Described(beside, buffer) != Described(whole, buffer)) {
    std::fprintf(stderr, "one pass and check then walk split the batch differently\n");
    std::abort();
  }
  std::vector<psfstore::adapter::DocumentSpan> documents;
  std::vector<psfstore::adapter::FieldRef> found;
  if (small_chunks.Run(buffer, scalar_parser, documents, found)) {
    // Accepted in chunks of a few bytes: accepted whole, split the same.
    if (status != Status::Ok) std::abort();
    std::vector<std::pair<size_t, size_t>> spans;
    std::vector<std::span<const psfstore::adapter::FieldRef>> fields;
    for (const auto& document : documents) {
      spans.emplace_back(document.payload_begin, document.payload_size);
      fields.emplace_back(found.data() + document.first_field, document.field_count);
    }
    if (Described(spans, fields) != Described(whole, buffer)) {
      std::fprintf(stderr, "small chunks split the batch differently\n");
      std::abort();
    }
  }
  if (status != Status::Ok) {
    if (status != Status::Corruption || whole.HasNext() || whole.fault_offset() > size) std::abort();
    // Windows only ever refuse more: a batch refused whole is refused in pieces too.
    if (windowed.Load(buffer) == Status::Ok) std::abort();
    return 0;
  }
  auto spans = RecordSpans(whole, buffer);
  if (spans.size() != whole.record_count()) std::abort();
  if (RecordSpans(beside, buffer) != spans) std::abort();

  // Windows split a batch of small documents the same way, or refuse it: the library
  // cannot tell whether a top-level number or literal at a window's end goes on, and
  // one it cut must be refused rather than stored as two records. Objects and arrays are
  // never cut.
  size_t largest = 0;
  bool containers_only = true;
  for (const auto& span : spans) {
    largest = std::max(largest, span.second);
    char first = static_cast<char>(data[span.first]);
    containers_only = containers_only && (first == '{' || first == '[');
  }
  if (largest <= 64) {
    if (Status refused = windowed.Load(buffer); refused != Status::Ok) {
      if (containers_only) {
        std::fprintf(stderr, "refused in windows: %s\n", refused.ToString().c_str());
        std::abort();
      }
    } else if (RecordSpans(windowed, buffer) != spans) {
      std::fprintf(stderr, "windows split the batch differently\n");
      std::abort();
    }
  }

  // Each record alone is one valid document.
  for (const auto& span : spans) {
    PaddedBuffer record(std::string_view(reinterpret_cast<const char*>(data) + span.first, span.second));
    if (single.Load(record) != Status::Ok || single.record_count() != 1) std::abort();
  }
  return 0;
}
