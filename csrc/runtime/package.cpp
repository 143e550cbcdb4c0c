#include "runtime/package.h"

namespace kestrel {

py::object import_module_level(const py::module_& m, const char* name, int level,
                               std::initializer_list<const char*> fromlist) {
  py::list names;
  for (const char* n : fromlist) names.append(py::str(n));
  PyObject* globals = PyModule_GetDict(m.ptr());
  PyObject* module = PyImport_ImportModuleLevel(name, globals, nullptr, names.ptr(), level);
  if (!module) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(module);
}

py::object imported_name(const py::object& source, const char* name) {
  PyObject* value = PyObject_GetAttrString(source.ptr(), name);
  if (value) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  py::object mod_name = getattr_or_none(source, "__name__");
  py::object file = getattr_or_none(source, "__file__");
  const std::string where = file.is_none() ? "unknown location" : py::str(file).cast<std::string>();
  py::str message("cannot import name '" + std::string(name) + "' from " +
                  py::repr(mod_name).cast<std::string>() + " (" + where + ")");
  PyErr_SetImportError(message.ptr(), mod_name.ptr(), file.ptr());
  throw py::error_already_set();
}

namespace {
std::vector<py::object> names_of(const py::object& source, std::initializer_list<const char*> names) {
  std::vector<py::object> values;
  for (const char* n : names) values.push_back(imported_name(source, n));
  return values;
}
}  // namespace

std::vector<py::object> import_names_or_absolute(const py::module_& m, const char* relative, int level,
                                                 const char* absolute,
                                                 std::initializer_list<const char*> names) {
  try {
    return names_of(import_module_level(m, relative, level, names), names);
  } catch (py::error_already_set& first) {
    if (!is_import_error(first)) throw;
    try {
      return names_of(import_module_level(m, absolute, 0, names), names);
    } catch (py::error_already_set& second) {
      set_context(second, first);
      throw;
    }
  }
}

py::object arg_state(const py::handle& value, const char* name) {
  if (value.is_none() || PyDict_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  if (!PyDict_Check(value.ptr())) raise_arg_type(name, "dict", value);
  PyObject* text = PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                                        "dict", Py_TYPE(value.ptr())->tp_name);
  if (!text) throw py::error_already_set();
  py::object error = py::reinterpret_borrow<py::object>(PyExc_TypeError)(py::reinterpret_steal<py::object>(text));
  if (has_attr(error, "add_note")) {
    error.attr("add_note")(py::str("Subclasses of built-in types are not accepted: pass a plain dict (or None)."));
  }
  PyErr_SetObject(PyExc_TypeError, error.ptr());
  throw py::error_already_set();
}

}  // namespace kestrel
