// The three enumerations Python sees, each also exported to the module namespace.
#include <pybind11/pybind11.h>

#include "base/status.h"
#include "module/bindings.h"
#include "values/comparator.h"
#include "values/extractor_type.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

void RegisterExtractorType(py::module_& module) {
  using recorder::data::ExtractorType;
  py::enum_<ExtractorType>(module, "ExtractorType",
                           "The kind of column an Extractor builds (its `type` property). Members are also module "
                           "attributes.")
      .value("Raw", ExtractorType::Raw)
      .value("Bool", ExtractorType::Bool)
      .value("String", ExtractorType::String)
      .value("Int64", ExtractorType::Int64)
      .value("Double", ExtractorType::Double)
      .value("Timestamp", ExtractorType::Timestamp)
      .value("Date", ExtractorType::Date)
      .value("Time", ExtractorType::Time)
      .value("Duration", ExtractorType::Duration)
      .value("Record", ExtractorType::Record)
      .export_values();
}

void RegisterStatusAndScanOperation(py::module_& module) {
  // The codes Python has always seen; Busy and Refused stay inside the process.
  using psfstore::core::StatusCode;
  py::enum_<StatusCode>(module, "Status",
                        "Result code of the storage engine, as snapshot reports it. Members are also module "
                        "attributes.")
      .value("Ok", StatusCode::Ok)
      .value("Aborted", StatusCode::Aborted)
      .value("Corruption", StatusCode::Corruption)
      .value("IOError", StatusCode::IOError)
      .value("NotFound", StatusCode::NotFound)
      .value("OutOfMemory", StatusCode::OutOfMemory)
      .value("Pending", StatusCode::Pending)
      .export_values();

  using recorder::operations::ScanOperation;
  py::enum_<ScanOperation>(module, "ScanOperation",
                           "The comparison of JSONStore.scan: EQ, NE, LT, LE, GT, GE against the first operand, IN "
                           "and NI\n(in / not in) against all operands. DEF and BTW have no comparison: a scan with "
                           "them raises IndexError.\nMembers are also module attributes.")
      .value("EQ", ScanOperation::EQ)
      .value("NE", ScanOperation::NE)
      .value("LT", ScanOperation::LT)
      .value("LE", ScanOperation::LE)
      .value("GT", ScanOperation::GT)
      .value("GE", ScanOperation::GE)
      .value("IN", ScanOperation::IN)
      .value("NI", ScanOperation::NI)
      .value("DEF", ScanOperation::DEF)
      .value("BTW", ScanOperation::BTW)
      .export_values();
}

}  // namespace module
}  // namespace quillmark
