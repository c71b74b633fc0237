// Registration of `DynamicScan` and its trampoline.
#include "module/dynamic_scan.h"

#include <pybind11/pybind11.h>

#include <memory>

#include "module/bindings.h"
#include "module/by_reference.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

void RegisterDynamicScan(py::module_& module) {
  py::class_<DynamicScan, PyDynamicScan, std::shared_ptr<DynamicScan>>(module, "DynamicScan")
      .def(py::init<>())
      .def("check", ByReference(&DynamicScan::check))
      .def("touch", ByReference(&DynamicScan::touch));
}

}  // namespace module
}  // namespace quillmark
