// Python registration of `Extractor`.
#include <pybind11/pybind11.h>

#include "module/bindings.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

void RegisterExtractor(py::module_& /*module*/) {}

}  // namespace module
}  // namespace quillmark
