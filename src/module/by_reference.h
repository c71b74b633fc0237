// ByReference: binds a member function so that the object arrives by reference.
//
// Bound directly, a member function receives its object as a pointer, and the binding
// layer converts None to a null pointer: `Bitmap.cardinality(None)` would run on
// nullptr and crash. A reference refuses None, so the call fails with TypeError.
#pragma once

#include <utility>

namespace quillmark {
namespace module {

template <typename Class, typename Result, typename... Args>
auto ByReference(Result (Class::*method)(Args...) const) {
  return [method](const Class& self, Args... args) -> Result { return (self.*method)(std::forward<Args>(args)...); };
}

template <typename Class, typename Result, typename... Args>
auto ByReference(Result (Class::*method)(Args...)) {
  return [method](Class& self, Args... args) -> Result { return (self.*method)(std::forward<Args>(args)...); };
}

}  // namespace module
}  // namespace quillmark
