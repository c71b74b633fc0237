// The three enumerations Python sees, each also exported to the module namespace.
#include <pybind11/pybind11.h>

#include "module/bindings.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

void RegisterExtractorType(py::module_& /*module*/) {}
void RegisterStatusAndScanOperation(py::module_& /*module*/) {}

}  // namespace module
}  // namespace quillmark
