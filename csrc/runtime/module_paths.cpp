#include "runtime/module_paths.h"

namespace kestrel {
namespace {

// nn.Module.__setattr__ and torch.nn.modules.module's globals, looked up once.
struct ModuleSetattr {
  PyObject* setattr = nullptr;
  PyObject* register_buffer = nullptr;
  PyObject* globals = nullptr;
};

const ModuleSetattr& module_setattr() {
  static const ModuleSetattr found = [] {
    ModuleSetattr s;
    py::object module = py::module_::import("torch.nn.modules.module");
    py::object cls = module.attr("Module");
    s.setattr = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, "__setattr__");
    Py_XINCREF(s.setattr);
    s.register_buffer = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, "register_buffer");
    Py_XINCREF(s.register_buffer);
    s.globals = PyModule_GetDict(module.ptr());
    Py_XINCREF(s.globals);
    return s;
  }();
  return found;
}

// Whether torch holds a global buffer registration hook (a registry newer versions keep).
bool buffer_hooks_in_use(PyObject* globals) {
  PyObject* hooks = PyDict_GetItemString(globals, "_global_buffer_registration_hooks");
  if (!hooks) return false;
  if (!PyDict_Check(hooks)) return true;
  return PyDict_Size(hooks) > 0;
}

}  // namespace

py::object call_module(const py::object& module, const py::object& x) {
  PyTypeObject* type = Py_TYPE(module.ptr());
  PyObject* forward = _PyType_Lookup(type, interned("forward").ptr());  // borrowed
  if (forward && calls_only(module, py::handle(reinterpret_cast<PyObject*>(type)), py::handle(forward))) {
    return module.attr(interned("forward"))(x);
  }
  return module(x);
}

void set_buffer_attr(const py::handle& self, const char* name, const py::object& value) {
  const ModuleSetattr& m = module_setattr();
  const py::handle key = interned(name);
  // Newer versions' __setattr__ stores a buffer through self.register_buffer: it too must be
  // nn.Module's.
  PyTypeObject* type = Py_TYPE(self.ptr());
  if (m.setattr && m.register_buffer && THPVariable_CheckExact(value.ptr()) &&
      _PyType_Lookup(type, interned("__setattr__").ptr()) == m.setattr &&
      _PyType_Lookup(type, interned("register_buffer").ptr()) == m.register_buffer && !buffer_hooks_in_use(m.globals)) {
    PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict) throw py::error_already_set();
    const py::object owner = py::reinterpret_steal<py::object>(dict);
    PyObject* parameters = PyDict_GetItem(dict, interned("_parameters").ptr());
    PyObject* modules = PyDict_GetItem(dict, interned("_modules").ptr());
    PyObject* buffers = PyDict_GetItem(dict, interned("_buffers").ptr());
    // The registries are dicts (OrderedDicts in older versions, written through their own
    // __setitem__ so that their order stays kept).
    if (!PyDict_GetItem(dict, interned("register_buffer").ptr()) && parameters && PyDict_Check(parameters) &&
        modules && PyDict_Check(modules) && buffers && PyDict_Check(buffers) &&
        !PyDict_GetItem(parameters, key.ptr()) && !PyDict_GetItem(modules, key.ptr()) &&
        PyDict_GetItem(buffers, key.ptr())) {
      if (PyObject_SetItem(buffers, key.ptr(), value.ptr()) < 0) throw py::error_already_set();
      return;
    }
  }
  if (PyObject_SetAttr(self.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

}  // namespace kestrel
