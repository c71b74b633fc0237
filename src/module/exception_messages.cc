// Native exception messages that are not UTF-8.
//
// The binding layer turns a native exception into a Python one whose message it
// decodes as UTF-8. A message that quotes a path or a name given as bytes may not be
// UTF-8, and then the Python exception arrives with an empty message. This translator
// runs before the binding layer's own: it handles only such messages, decodes them with
// \xNN escapes and raises the Python type the binding layer would have chosen; every
// other exception passes on unchanged.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "module/bindings.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

namespace {

bool IsUtf8(const char* text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
  if (decoded == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(decoded);
  return true;
}

void RaiseEscaped(PyObject* type, const char* text) {
  PyObject* message = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "backslashreplace");
  if (message == nullptr) return;  // the decoding error is then the Python error
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

// The binding layer's choice of Python type for a standard exception.
PyObject* PythonTypeOf(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error)) return PyExc_MemoryError;
  if (dynamic_cast<const std::out_of_range*>(&error)) return PyExc_IndexError;
  if (dynamic_cast<const std::invalid_argument*>(&error) || dynamic_cast<const std::length_error*>(&error) ||
      dynamic_cast<const std::domain_error*>(&error) || dynamic_cast<const std::range_error*>(&error)) {
    return PyExc_ValueError;
  }
  if (dynamic_cast<const std::overflow_error*>(&error)) return PyExc_OverflowError;
  return PyExc_RuntimeError;
}

}  // namespace

void RegisterExceptionMessages() {
  py::register_local_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const py::error_already_set&) {
      throw;  // already a Python error
    } catch (const py::builtin_exception&) {
      throw;  // the binding layer's own exceptions carry their Python type
    } catch (const std::exception& error) {
      if (IsUtf8(error.what())) throw;
      RaiseEscaped(PythonTypeOf(error), error.what());
    }
  });
}

}  // namespace module
}  // namespace quillmark
