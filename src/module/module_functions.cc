// Informational module functions and the fixed test Arrow table.
#include <arrow/api.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <simdjson.h>
#include <zmq.h>

#include <stdexcept>
#include <string>
#include <tuple>

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

}  // namespace

void RegisterModuleFunctions(py::module_& module) {
  module.def("try_me", [](const std::shared_ptr<DynamicScan>& scan) {
    // The binding layer lets None through as an empty holder.
    if (!scan) throw py::type_error("try_me needs a DynamicScan, not None");
    if (scan->check("hello")) scan->touch("world... Again!!");
  });
  module.def("generate_test_arrow_as_b64_string", &GenerateTestArrowAsBase64);
  module.def("simdjson_version", []() { return std::string(QUILLMARK_STRINGIFY(SIMDJSON_VERSION)); });
  module.def("simdjson_threaded", []() {
#ifdef SIMDJSON_THREADS_ENABLED
    return true;
#else
    return false;
#endif
  });
  module.def("simdjson_active_runtime", []() {
    const auto& implementation = simdjson::get_active_implementation();
    return std::make_tuple(implementation->name(), implementation->description());
  });
  module.def("zmq_version", []() {
    int major = 0, minor = 0, patch = 0;
    zmq_version(&major, &minor, &patch);
    return std::make_tuple(major, minor, patch);
  });
}


}  // namespace module
}  // namespace quillmark
