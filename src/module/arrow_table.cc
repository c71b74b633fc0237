// Python registration of `ArrowTable` and its export through the Arrow C stream interface.
#include "module/arrow_table.h"

#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "module/bindings.h"
#include "module/by_reference.h"
#include "values/arrow_serialization.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

namespace {

constexpr const char* kStreamCapsuleName = "arrow_array_stream";

// Releases a stream that no reader moved out (a reader that takes it sets release to
// null), then frees the structure. Runs with the interpreter lock, when the capsule dies.
void ReleaseStreamCapsule(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsuleName));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

}  // namespace

py::capsule ArrowTable::ExportStream() const {
  auto stream = new ArrowArrayStream{};
  auto reader = std::make_shared<arrow::TableBatchReader>(table_);
  const arrow::Status status = arrow::ExportRecordBatchReader(std::move(reader), stream);
  if (!status.ok()) {
    delete stream;
    recorder::data::ThrowIfArrowFailed(status);
  }
  PyObject* capsule = PyCapsule_New(stream, kStreamCapsuleName, &ReleaseStreamCapsule);
  if (capsule == nullptr) {
    stream->release(stream);
    delete stream;
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::capsule>(capsule);
}

void RegisterArrowTable(py::module_& module) {
  py::class_<ArrowTable>(module, "ArrowTable",
                         "An extracted table in Arrow memory, as JSONStore.extract_arrow returns it.\n\n"
                         "It implements the Arrow PyCapsule stream protocol, so pyarrow.table(t), "
                         "duckdb.from_arrow(t),\nor a DuckDB query naming it read its columns without a "
                         "copy. It can be read any number\nof times and outlives the store.")
      .def(
          "__arrow_c_stream__",
          [](const ArrowTable& self, const py::object& /*requested_schema*/) -> py::object {
            return self.ExportStream();
          },
          py::arg("requested_schema") = py::none(),
          "Exports the table as an ArrowArrayStream in a PyCapsule named \"arrow_array_stream\".\n\n"
          "requested_schema is not applied: the stream always has the table's own schema,\n"
          "which the protocol allows. Raises RuntimeError when Arrow cannot export the table.")
      .def_property_readonly(
          "num_rows", [](const ArrowTable& self) { return self.table().num_rows(); }, "Number of rows.")
      .def_property_readonly(
          "column_names", [](const ArrowTable& self) { return self.table().ColumnNames(); },
          "Names of the columns, in order.")
      .def("__len__", [](const ArrowTable& self) { return self.table().num_rows(); });
}

}  // namespace module
}  // namespace quillmark
