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
                                "Describes the output columns of an extraction. Build one column with a static factory\n"
                                "(Raw, Bool, String, Int, Float, Timestamp, Time, Date, Duration) and the table with\n"
                                "Extractor.record. All factory arguments are positional; `field` is a JSON Pointer\n"
                                "such as \"/a/b\". A value that does not convert gives the column's default or a null.\n"
                                "The factories raise RuntimeError for a refused width, resolution, default or locale.")
      .def_static(
          "Raw", [](std::string field) -> Holder { return std::make_shared<RawExtractor>(std::move(field)); },
          "Raw(field): a column typed by the field's first classifiable value (bool, int64, double or\n"
          "text); later values are converted to that type.")
      .def_static(
          "Bool", [](std::string field) -> Holder { return std::make_shared<BoolExtractor>(std::move(field)); },
          "Bool(field): a boolean column. Numbers are true when not zero; texts that begin \"true\", \"yes\",\n"
          "\"y\", \"True\" or \"Y\" are true; a missing field is false.")
      .def_static(
          "String",
          [](std::string field, OptionalText locale) -> Holder {
            return std::make_shared<StringExtractor>(std::move(field), std::move(locale));
          },
          "String(field, locale): a text column; numbers and booleans are written as text, a missing field\n"
          "as \"null\". locale (str or None) is kept for the number conversions of other kinds.")
      .def_static(
          "Int",
          [](std::string field, bool is_signed, int width, std::optional<int64_t> default_value,
             OptionalText aux_text, OptionalText locale) -> Holder {
            return std::make_shared<IntExtractor>(std::move(field), is_signed, width, default_value,
                                                  std::move(aux_text), std::move(locale));
          },
          "Int(field, is_signed, width, default_value, aux_text, locale): an integer column.\n\n"
          "is_signed (bool) and width (8, 16, 32 or 64) give its type; default_value (int or None) replaces\n"
          "values that do not convert or fit (otherwise null); texts are read as numbers in `locale`\n"
          "(str or None); aux_text is kept, not used. A missing field gives 0.")
      .def_static(
          "Float",
          [](std::string field, int width, std::optional<double> default_value, OptionalText aux_text,
             OptionalText locale) -> Holder {
            return std::make_shared<FloatExtractor>(std::move(field), width, default_value, std::move(aux_text),
                                                    std::move(locale));
          },
          "Float(field, width, default_value, aux_text, locale): a float32 (width 32) or float64 (64) column.\n\n"
          "A value float32 cannot hold exactly, or NaN, gives default_value (float or None) or a null;\n"
          "texts are read as numbers in `locale`; aux_text is kept, not used. A missing field gives 0.0.")
      .def_static(
          "Timestamp",
          [](std::string field, std::string resolution, OptionalText aux_text_2, OptionalText default_text,
             OptionalText aux_text, OptionalText locale) -> Holder {
            return std::make_shared<TimestampExtractor>(std::move(field), std::move(resolution),
                                                        std::move(aux_text_2), std::move(default_text),
                                                        std::move(aux_text), std::move(locale));
          },
          "Timestamp(field, resolution, aux_text_2, default_text, aux_text, locale): an int64 column of\n"
          "units since 1970-01-01T00:00:00 UTC.\n\n"
          "resolution is \"s\", \"ms\", \"us\" or \"ns\"; integers are taken as units, floats as seconds,\n"
          "texts parsed as ISO 8601 timestamps; default_text (str or None) is the timestamp for values\n"
          "that do not convert (otherwise null). aux_text_2, aux_text and locale are kept, not used.")
      .def_static("Time", &MakeTemporal<TimeExtractor>, "Time(field, resolution, default_text, aux_text, locale): a column of units since midnight,\n"
                  "int64 for \"us\" and \"ns\", int32 for \"s\" and \"ms\". Texts are parsed as times of day;\n"
                  "default_text (str or None) replaces values that do not convert (otherwise null).")
      .def_static("Date", &MakeTemporal<DateExtractor>,
                  "Date(field, resolution, default_text, aux_text, locale): an int64 column of days (\"d\") or\n"
                  "milliseconds (\"ms\") since 1970-01-01. Texts are parsed as dates; default_text (str\n"
                  "or None) replaces values that do not convert (otherwise null).")
      .def_static("Duration", &MakeTemporal<DurationExtractor>, "Duration(field, resolution, default_text, aux_text, locale): an int64 column of units (\"s\",\n"
                  "\"ms\", \"us\", \"ns\"). Integers are taken as units, floats as seconds, texts parsed as\n"
                  "ISO 8601 durations; default_text (str or None) replaces values that do not convert.")
      .def_static(
          "record",
          [](std::vector<std::pair<std::string, Holder>> columns) -> Holder {
            return std::make_shared<RecordExtractor>(std::move(columns));
          },
          "record(columns): the table of an extraction.\n\n"
          "columns (list of (str, Extractor) pairs): the column names and extractors, in table order.\n"
          "Raises RuntimeError for a nested record.")
      .def_property_readonly("type", ByReference(&Extractor::type), "The kind of column, an ExtractorType.");
}

}  // namespace module
}  // namespace quillmark
