// Python registration of `JSONStore`.
#include <pybind11/pybind11.h>

#include "module/bindings.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

void RegisterJSONStore(py::module_& /*module*/) {}

}  // namespace module
}  // namespace quillmark
