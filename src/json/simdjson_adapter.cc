#include "json/simdjson_adapter.h"

#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <thread>

#include "base/helper_threads.h"

namespace psfstore {
namespace adapter {

static_assert(core::PaddedView::kPaddingBytes >= simdjson::SIMDJSON_PADDING,
              "padded buffers must cover the JSON library's read-ahead");

namespace ondemand = simdjson::ondemand;

namespace {

constexpr size_t kSmallestWindow = size_t{1} << 20;

}  // namespace

struct SIMDJsonAdapter::Library {
  ondemand::parser parser;
  ondemand::parser scalar_parser;
  size_t window = 0;
};

SIMDJsonAdapter::SIMDJsonAdapter(std::vector<std::string> field_names, size_t largest_window)
    : field_names_{std::move(field_names)}, largest_window_{std::bit_ceil(largest_window)},
      lookup_{field_names_},
      one_pass_{lookup_},
      library_{std::make_unique<Library>()} {
#ifdef SIMDJSON_THREADS_ENABLED
  library_->parser.threaded = false;  // the calling thread does all the work
#endif
}

SIMDJsonAdapter::~SIMDJsonAdapter() = default;

core::Status SIMDJsonAdapter::Refuse(size_t offset, std::string reason) {
  records_.clear();
  fields_.clear();
  next_record_ = 0;
  fault_offset_ = offset;
  return core::Status{core::Status::Corruption, "malformed JSON at byte " + std::to_string(offset) + ": " + reason};
}

core::Status SIMDJsonAdapter::Load(core::PaddedView buffer) {
  records_.clear();
  fields_.clear();
  next_record_ = 0;
  fault_offset_ = 0;
  buffer_ = buffer.data();
  const size_t size = buffer.size();
  if (size == 0) return core::Status::Ok;

  // The window is the most the library splits at once; it only grows, so the
  // library's buffers are allocated once for batches of similar sizes.
  size_t window = std::min(std::max(std::bit_ceil(size), kSmallestWindow), largest_window_);
  library_->window = std::max(library_->window, window);
  environment::BusyScope busy;  // no helper takes this core while the batch is parsed

  // One pass checks and splits a batch of certainly valid JSON. At any doubt it gives
  // up, and the exact passes below decide (and name the offset of a fault).
  if (passes_ == Passes::One && size <= library_->window && size <= StructuralWalk::kLargestBatch) {
    if (one_pass_.Run(buffer, library_->scalar_parser, records_, fields_)) return CheckRecords(buffer);
    records_.clear();
    fields_.clear();
  }

  // The library's complete parser checks the batch fast but keeps no positions and
  // refuses some valid JSON (integers beyond 64 bits, numbers beyond the double
  // range). When it refuses, the checking walk decides: it accepts exactly the JSON
  // grammar and names the offset of a fault.
  core::Status field_walk;
  bool checked = lookup_.has_fields() ? CheckAndWalk(buffer, &field_walk)
                                      : checker_.Check(buffer, library_->window, &document_starts_);
  if (!checked) {
    fault_offset_ = 0;  // a walk beside the check may have refused first
    if (core::Status walked = Walk(buffer, /*validate=*/true); walked != core::Status::Ok) return walked;
    return CheckRecords(buffer);
  }
  // Then the fields, walking only the paths that lead to them. Both passes split the
  // text the same way; should they ever disagree, the checking walk decides alone.
  if (lookup_.has_fields()) {
    if (field_walk != core::Status::Ok || !RecordsMatchDocumentStarts()) {
      fault_offset_ = 0;
      if (core::Status walked = Walk(buffer, /*validate=*/true); walked != core::Status::Ok) return walked;
    }
  } else {
    for (size_t start : document_starts_) records_.push_back(DocumentSpan{start, 0, 0, 0});
    SetPayloadSizes(buffer);
  }
  return CheckRecords(buffer);
}

size_t SIMDJsonAdapter::HalvingPoint(core::PaddedView buffer) {
  constexpr size_t kSearchedBytes = size_t{64} << 10;
  const char* text = buffer.data();
  const char* end = text + buffer.size();
  const char* from = text + buffer.size() / 2;
  const char* limit = std::min(end, from + kSearchedBytes);
  while (from < limit) {
    const char* feed = static_cast<const char*>(std::memchr(from, '\n', limit - from));
    if (feed == nullptr || feed + 1 >= end) return 0;
    if (!IsJsonWhiteSpace(feed[1])) return feed + 1 - text;
    from = feed + 1;
  }
  return 0;
}

struct SIMDJsonAdapter::CheckProgress {
  std::atomic<size_t> checked_through{0};
  std::atomic<bool> finished{false};

  // Waits until the document starting at `start` is checked; returns how far the check
  // has got, or 0 when it finished before that document.
  size_t WaitFor(size_t start) {
    for (int round = 0;; ++round) {
      if (size_t through = checked_through.load(std::memory_order_acquire); through > start) return through;
      if (finished.load(std::memory_order_acquire)) {
        size_t through = checked_through.load(std::memory_order_acquire);
        return through > start ? through : 0;
      }
      if (round < 64) {
        Pause();
      } else {
        std::this_thread::yield();  // the helper may have lost its core
      }
    }
  }

  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
};

bool SIMDJsonAdapter::CheckAndWalk(core::PaddedView buffer, core::Status* walked) {
  // The check and the walk only read the buffer and each fill their own lists
  // (document_starts_ and the checker's parser; records_, fields_ and the on-demand
  // parsers), so they can run at once. The walk trails the check document by document:
  // the on-demand parser may misbehave on text that is not JSON. Nothing is decided
  // until both are done.
  bool checked = false;
  CheckProgress progress;
  auto check = [&] {
    struct Finish {
      CheckProgress& progress;
      ~Finish() { progress.finished.store(true, std::memory_order_release); }
    } finish{progress};
    checked = checker_.Check(buffer, library_->window, &document_starts_, &progress.checked_through);
    // All of the batch is JSON, whatever split the walk finds in it.
    if (checked) progress.checked_through.store(SIZE_MAX, std::memory_order_release);
  };
  environment::HelperTask helper;
  bool on_helper = false;
  if (check_placement_ == CheckPlacement::Helper) {
    on_helper = helper.Start(check, environment::HelperTask::Placement::Helper);
  } else if (check_placement_ == CheckPlacement::Automatic && buffer.size() >= kHelperCheckBytes) {
    on_helper = helper.Start(check);
  }
  if (!on_helper) {
    check();
    if (!checked) return false;  // alone, the walk over a refused batch is wasted
  }
  *walked = Walk(buffer, /*validate=*/false, on_helper ? &progress : nullptr);
  helper.Wait();
  return checked;
}

core::Status SIMDJsonAdapter::CheckRecords(core::PaddedView buffer) {
  // The library splits a large batch at window ends and cannot tell whether a bare
  // number or literal there goes on in the next window: "12345" may come out as the
  // documents "123" and "45", "true2" as "true" and "2". A string or a container cut in
  // two fails to parse, and a whole number or literal never touches the next document,
  // so one followed directly by more text was cut.
  if (buffer.size() > library_->window) {
    for (const DocumentSpan& record : records_) {
      size_t end = record.payload_begin + record.payload_size;
      char first = buffer.data()[record.payload_begin];
      bool atom = first == '-' || (first >= '0' && first <= '9') || first == 't' || first == 'f' || first == 'n';
      if (atom && end < buffer.size() && !IsJsonWhiteSpace(buffer.data()[end])) {
        return Refuse(record.payload_begin, "a top-level number or literal runs across the end of a parser window of " +
                                                std::to_string(library_->window) +
                                                " bytes; separate top-level values with white space");
      }
    }
  }
  for (const DocumentSpan& record : records_) {
    if (record.payload_size > kMaxDocumentSize) {
      return Refuse(record.payload_begin, "document of " + std::to_string(record.payload_size) +
                                              " bytes is larger than the record limit of " +
                                              std::to_string(kMaxDocumentSize) + " bytes");
    }
  }
  return core::Status::Ok;
}

bool SIMDJsonAdapter::RecordsMatchDocumentStarts() const {
  if (records_.size() != document_starts_.size()) return false;
  for (size_t i = 0; i < records_.size(); ++i) {
    if (records_[i].payload_begin != document_starts_[i]) return false;
  }
  return true;
}

void SIMDJsonAdapter::SetPayloadSizes(core::PaddedView buffer) {
  // A document ends where the next one starts (or the buffer ends), less white space.
  for (size_t i = 0; i < records_.size(); ++i) {
    size_t begin = records_[i].payload_begin;
    size_t end = i + 1 < records_.size() ? records_[i + 1].payload_begin : buffer.size();
    records_[i].payload_size = TrimWhiteSpace(std::string_view{buffer.data() + begin, end - begin}).size();
  }
}

core::Status SIMDJsonAdapter::Walk(core::PaddedView buffer, bool validate, CheckProgress* progress) {
  records_.clear();
  fields_.clear();
  const size_t size = buffer.size();
  ondemand::document_stream stream;
  if (auto code = library_->parser.iterate_many(buffer.data(), size, library_->window).get(stream)) {
    return Refuse(0, simdjson::error_message(code));
  }

  lookup_.StartBatch();

  uint32_t document_number = 0;
  size_t checked_through = 0;
  for (auto iterator = stream.begin(); iterator != stream.end(); ++iterator) {
    if (progress != nullptr) {
      size_t first = iterator.current_index();
      while (first < size && IsJsonWhiteSpace(buffer.data()[first])) ++first;
      if (first >= checked_through && (checked_through = progress->WaitFor(first)) == 0) {
        return Refuse(0, "the batch check stopped before byte " + std::to_string(first));
      }
    }
    ondemand::document_reference document;
    if (auto code = (*iterator).get(document)) {
      size_t offset = iterator.current_index();
      if (code == simdjson::UTF8_ERROR) {
        offset = FirstInvalidUtf8(reinterpret_cast<const unsigned char*>(buffer.data()), size);
      } else if (size_t located = LocateStructuralFault(buffer.data(), size); located < size) {
        offset = located;
      }
      return Refuse(offset, simdjson::error_message(code));
    }
    size_t start = iterator.current_index();
    while (start < size && IsJsonWhiteSpace(buffer.data()[start])) ++start;
    const uint32_t first_field = static_cast<uint32_t>(fields_.size());
    WalkFault fault;
    if (!lookup_.FindFields(document, document_number++, library_->scalar_parser, buffer.data() + size, validate,
                            fields_, &fault)) {
      size_t offset = start;
      const char* position = fault.position;
      if (position == nullptr) {
        const char* location = nullptr;
        if (document.current_location().get(location) == simdjson::SUCCESS) position = location;
      }
      if (position != nullptr && position >= buffer.data() && position <= buffer.data() + size) {
        offset = position - buffer.data();
      }
      return Refuse(offset, simdjson::error_message(fault.error));
    }
    records_.push_back(DocumentSpan{start, 0, first_field, static_cast<uint32_t>(fields_.size()) - first_field});
  }
  if (size_t truncated = stream.truncated_bytes(); truncated != 0) {
    size_t offset = LocateStructuralFault(buffer.data(), size);
    if (offset == size) offset = size - truncated;
    while (offset < size && IsJsonWhiteSpace(buffer.data()[offset])) ++offset;
    return Refuse(offset, "incomplete document or unbalanced bracket");
  }
  SetPayloadSizes(buffer);
  return core::Status::Ok;
}

ParsedRecord SIMDJsonAdapter::record(size_t i) const {
  const DocumentSpan& span = records_[i];
  return ParsedRecord{std::string_view{buffer_ + span.payload_begin, span.payload_size},
                      std::span<const FieldRef>{fields_.data() + span.first_field, span.field_count}};
}

ParsedRecord SIMDJsonAdapter::NextRecord() { return record(next_record_++); }

}  // namespace adapter
}  // namespace psfstore
