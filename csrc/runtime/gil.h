// Tensor work without the interpreter lock.
//
// Module code runs with the GIL held; ATen and kernel work does not need it. without_gil(f) runs
// f with the GIL released when the calling thread holds it (and simply runs f otherwise), so other
// Python threads (data loaders, progress reporting, servers) keep running meanwhile. f must not
// touch Python objects: take the tensors out of them before, wrap the results after. Callbacks
// that torch itself makes into Python (fake-tensor and dispatch modes, saved-tensor hooks, anomaly
// mode) take the lock back on their own.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <utility>

namespace kestrel {

template <typename F>
decltype(auto) without_gil(F&& f) {
  if (!Py_IsInitialized() || !PyGILState_Check()) return std::forward<F>(f)();
  pybind11::gil_scoped_release release;
  return std::forward<F>(f)();
}

}  // namespace kestrel
