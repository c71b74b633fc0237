// Guards the registered classes against `Class.__new__(Class)`.
//
// The binding layer builds an object in two steps: `__new__` allocates an empty shell
// and `__init__` constructs the native object in it. Calling the class does both and
// checks that the second happened. Calling `__new__` alone (directly, or through
// copy.copy and pickle, which do exactly that) hands out a shell with no native object,
// and every method would then run on a null pointer and crash the process.
//
// The guard puts a `__new__` of its own into the class's dictionary. It is written into
// the dictionary directly rather than assigned, so the type's allocation slot, which
// calling the class uses, stays the binding layer's. For the class itself the guard
// raises TypeError; for Python subclasses (which inherit the guard as their `__new__`)
// it allocates as before, so subclassing keeps working.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>

#include "module/bindings.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

void RefuseBareNew(py::handle cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  newfunc allocate = type->tp_new;
  std::string name = py::str(cls.attr("__qualname__"));
  py::cpp_function guard(
      [type, allocate, name](py::handle requested, py::args args, py::kwargs kwargs) -> py::object {
        if (!PyType_Check(requested.ptr())) throw py::type_error(name + ".__new__(X): X must be a type");
        auto* requested_type = reinterpret_cast<PyTypeObject*>(requested.ptr());
        if (requested_type == type || !PyType_IsSubtype(requested_type, type)) {
          throw py::type_error(name + ".__new__() alone makes an object that was never initialised; create it with " +
                               name + "(...)");
        }
        PyObject* instance = allocate(requested_type, args.ptr(), kwargs.ptr());
        if (instance == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(instance);
      },
      py::name("__new__"), py::arg("cls"));
  if (PyDict_SetItemString(type->tp_dict, "__new__", guard.ptr()) != 0) throw py::error_already_set();
  PyType_Modified(type);
}

}  // namespace module
}  // namespace quillmark
