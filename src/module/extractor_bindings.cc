// Python registration of `Extractor`: one class whose static factories build every kind
// of column extractor. Factory arguments are positional; refused arguments raise
// RuntimeError with the constructor's message.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/bindings.h"
#include "module/by_reference.h"
#include "values/extractor.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

namespace {

using recorder::data::Extractor;
using OptionalText = std::optional<std::string>;
using Holder = std::shared_ptr<Extractor>;

// Builds the temporal kinds that share the argument list (field, resolution,
// default_text, aux_text, locale).
template <typename Kind>
Holder MakeTemporal(std::string field, std::string resolution, OptionalText default_text, OptionalText aux_text,
                    OptionalText locale) {
  return std::make_shared<Kind>(std::move(field), std::move(resolution), std::move(default_text),
                                std::move(aux_text), std::move(locale));
}

}  // namespace

void RegisterExtractor(py::module_& module) {
  using namespace recorder::data;
  py::class_<Extractor, Holder>(module, "Extractor",
                                "Describes one output column of an extraction; build it with the static "
                                "factories and combine columns with Extractor.record.")
      .def_static(
          "Raw", [](std::string field) -> Holder { return std::make_shared<RawExtractor>(std::move(field)); },
          "Column typed by the field's values (bool, int64, double or text).")
      .def_static(
          "Bool", [](std::string field) -> Holder { return std::make_shared<BoolExtractor>(std::move(field)); },
          "Boolean column.")
      .def_static(
          "String",
          [](std::string field, OptionalText locale) -> Holder {
            return std::make_shared<StringExtractor>(std::move(field), std::move(locale));
          },
          "Text column; numbers and booleans are written as text.")
      .def_static(
          "Int",
          [](std::string field, bool is_signed, int width, std::optional<int64_t> default_value,
             OptionalText aux_text, OptionalText locale) -> Holder {
            return std::make_shared<IntExtractor>(std::move(field), is_signed, width, default_value,
                                                  std::move(aux_text), std::move(locale));
          },
          "Integer column of width 8, 16, 32 or 64 bits; values that do not fit take the default or null.")
      .def_static(
          "Float",
          [](std::string field, int width, std::optional<double> default_value, OptionalText aux_text,
             OptionalText locale) -> Holder {
            return std::make_shared<FloatExtractor>(std::move(field), width, default_value, std::move(aux_text),
                                                    std::move(locale));
          },
          "Floating-point column of width 32 or 64 bits.")
      .def_static(
          "Timestamp",
          [](std::string field, std::string resolution, OptionalText aux_text_2, OptionalText default_text,
             OptionalText aux_text, OptionalText locale) -> Holder {
            return std::make_shared<TimestampExtractor>(std::move(field), std::move(resolution),
                                                        std::move(aux_text_2), std::move(default_text),
                                                        std::move(aux_text), std::move(locale));
          },
          "Integer column of units (s, ms, us, ns) since 1970-01-01T00:00:00 UTC.")
      .def_static("Time", &MakeTemporal<TimeExtractor>, "Integer column of units (s, ms, us, ns) since midnight.")
      .def_static("Date", &MakeTemporal<DateExtractor>,
                  "Integer column of days (d) or milliseconds (ms) since 1970-01-01.")
      .def_static("Duration", &MakeTemporal<DurationExtractor>, "Integer column of units (s, ms, us, ns).")
      .def_static(
          "record",
          [](std::vector<std::pair<std::string, Holder>> columns) -> Holder {
            return std::make_shared<RecordExtractor>(std::move(columns));
          },
          "The columns of one table: a list of (column name, extractor) pairs.")
      .def_property_readonly("type", ByReference(&Extractor::type), "The kind of column, an ExtractorType.");
}

}  // namespace module
}  // namespace quillmark
