// Informational module functions and the fixed test Arrow table.
#include <arrow/api.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <simdjson.h>
#include <spdlog/spdlog.h>
#include <zmq.h>

#include <array>
#include <atomic>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "module/bindings.h"
#include "module/dynamic_scan.h"
#include "values/arrow_serialization.h"

namespace py = pybind11;

// SIMDJSON_VERSION is a bare token sequence such as 3.0.1; this makes it a string.
#define QUILLMARK_STRINGIFY_TOKENS(x) #x
#define QUILLMARK_STRINGIFY(x) QUILLMARK_STRINGIFY_TOKENS(x)

namespace quillmark {
namespace module {

namespace {

using recorder::data::ThrowIfArrowFailed;

template <typename Builder, typename Value>
std::shared_ptr<arrow::Array> BuildColumn(std::initializer_list<Value> values) {
  Builder builder(arrow::default_memory_pool());
  for (Value value : values) ThrowIfArrowFailed(builder.Append(value));
  std::shared_ptr<arrow::Array> array;
  ThrowIfArrowFailed(builder.Finish(&array));
  return array;
}

std::string GenerateTestArrowAsBase64() {
  auto schema = arrow::schema({arrow::field("Day", arrow::int8()), arrow::field("Month", arrow::int8()),
                               arrow::field("Year", arrow::int16())});
  auto day = BuildColumn<arrow::Int8Builder, int8_t>({1, 12, 17, 23, 28});
  auto month = BuildColumn<arrow::Int8Builder, int8_t>({1, 3, 5, 7, 1});
  auto year = BuildColumn<arrow::Int16Builder, int16_t>({1990, 2000, 1995, 2000, 1995});
  auto table = arrow::Table::Make(schema, {day, month, year});
  return recorder::data::SerializeTableAsBase64(*table);
}

std::atomic<bool> scan_listing{true};

void SetLogLevel(const std::string& name) {
  static constexpr std::array<std::pair<const char*, spdlog::level::level_enum>, 7> kLevels{{
      {"trace", spdlog::level::trace},
      {"debug", spdlog::level::debug},
      {"info", spdlog::level::info},
      {"warning", spdlog::level::warn},
      {"error", spdlog::level::err},
      {"critical", spdlog::level::critical},
      {"off", spdlog::level::off},
  }};
  for (const auto& [level_name, level] : kLevels) {
    if (name == level_name) {
      spdlog::set_level(level);
      return;
    }
  }
  throw std::invalid_argument("Unknown log level \"" + name +
                              "\": use trace, debug, info, warning, error, critical or off");
}

}  // namespace

bool ScanListingEnabled() { return scan_listing.load(std::memory_order_relaxed); }

void RegisterModuleFunctions(py::module_& module) {
  module.def("try_me", [](const std::shared_ptr<DynamicScan>& scan) {
    // The binding layer lets None through as an empty holder.
    if (!scan) throw py::type_error("try_me needs a DynamicScan, not None");
    if (scan->check("hello")) scan->touch("world... Again!!");
  }, "Calls check(\"hello\") of a DynamicScan (positional) and, when it returns True, touch(\"world... Again!!\").\n\n"
     "Shows a Python subclass's overrides called from native code. Raises TypeError for an object\n"
     "that is not a DynamicScan, RuntimeError when the subclass does not override check or touch.");
  module.def("generate_test_arrow_as_b64_string", &GenerateTestArrowAsBase64,
             "A fixed table (Day int8, Month int8, Year int16; five rows) as Base64 text of an Arrow IPC stream.\n\n"
             "quillmark.to_table decodes it. Raises RuntimeError when Arrow fails.");
  module.def(
      "simdjson_version", []() { return std::string(QUILLMARK_STRINGIFY(SIMDJSON_VERSION)); },
      "The version of the JSON parser (simdjson) the module is built against, such as \"3.0.1\".");
  module.def("simdjson_threaded", []() {
#ifdef SIMDJSON_THREADS_ENABLED
    return true;
#else
    return false;
#endif
  }, "True when the JSON parser (simdjson) is built for use from several threads.");
  module.def("simdjson_active_runtime", []() {
    const auto& implementation = simdjson::get_active_implementation();
    return std::make_tuple(implementation->name(), implementation->description());
  }, "The JSON parser's active implementation for this processor, as (name, description).");
  module.def("zmq_version", []() {
    int major = 0, minor = 0, patch = 0;
    zmq_version(&major, &minor, &patch);
    return std::make_tuple(major, minor, patch);
  }, "The version of the ZeroMQ library in use, as (major, minor, patch).");
  module.def("set_log_level", &SetLogLevel,
             "Sets the lowest level of the messages the store logs (on standard output).\n\n"
             "level (str, positional): \"trace\", \"debug\", \"info\", \"warning\", \"error\", \"critical\" or \"off\".\n\n"
             "The module starts at \"debug\"; importing the quillmark package sets \"warning\". Applies to\n"
             "every store of the process at once, also to messages of running write threads. Raises\n"
             "ValueError for any other level.");
  module.def(
      "set_scan_listing", [](bool enabled) { scan_listing.store(enabled, std::memory_order_relaxed); },
      "Turns the listing of full-scan matches on standard output on or off.\n\n"
      "enabled (bool, positional): whether JSONStore.scan writes the JSON text of each match of a\n"
      "full scan (any scan but EQ on a projected field) to standard output, one per line. On when\n"
      "the module is imported; importing the quillmark package turns it off. Applies to every\n"
      "store of the process.");
}


}  // namespace module
}  // namespace quillmark
