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
  py::class_<DynamicScan, PyDynamicScan, std::shared_ptr<DynamicScan>>(
      module, "DynamicScan",
      "A pair of hooks for Python code to override in a subclass: check decides about an item named\n"
      "by a text, touch is told about an item that passed. Native code (try_me) calls the overrides.")
      .def(py::init<>(), "Creates the hooks; a subclass must call it from its own __init__.")
      .def("check", ByReference(&DynamicScan::check),
           "Override: returns whether the item named by `text` (positional str) passes. The base\n"
           "class has no implementation: calling it raises RuntimeError.")
      .def("touch", ByReference(&DynamicScan::touch),
           "Override: is told about the item named by `text` (positional str) that passed check. The\n"
           "base class has no implementation: calling it raises RuntimeError.");
}

}  // namespace module
}  // namespace quillmark
