#pragma once
// Two-step construction. A C++ base constructor cannot reach the derived class's overrides, yet
// several framework objects must run virtual start-up steps (a request classifying its method
// through the concrete field reader, a response applying its defaults) before anyone sees them.
// Such classes do that work in AfterConstruction, and are created through Construct.

#include <memory>
#include <utility>

namespace isapi_web {

/// Builds a T, runs its AfterConstruction on the fully built object, and hands it over.
template <class T, class... Args>
std::unique_ptr<T> Construct(Args&&... args) {
  std::unique_ptr<T> object(new T(std::forward<Args>(args)...));
  object->AfterConstruction();
  return object;
}

} // namespace isapi_web
