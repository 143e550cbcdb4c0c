#include "runtime/runtime.h"

#include <ATen/ExpandUtils.h>
#include <ATen/OpMathType.h>
#include <ATen/Parallel.h>
#include <c10/core/DefaultDtype.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/jit/frontend/tracer.h>
#include <torch/csrc/utils/disable_torch_function.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrel {

// ---------------------------------------------------------------------------------------------
// Errors

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

bool is_import_error(const py::error_already_set& e) { return e.matches(PyExc_ImportError); }

bool is_ordinary_error(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// ---------------------------------------------------------------------------------------------
// Extension modules

namespace runtime {
namespace {

Extension* extension_of(PyModuleDef* def) {
  // `def` is the first member of its Extension.
  return reinterpret_cast<Extension*>(def);
}

PyObject* create_module(PyObject* spec, PyModuleDef* def) {
  Extension* ext = extension_of(def);
  if (ext->module) {
    Py_INCREF(ext->module);
    return ext->module;
  }
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (!name) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  return module;
}

int exec_module(PyObject* module) {
  Extension* ext = extension_of(PyModule_GetDef(module));
  if (ext->module == module) {
    // Reached again by another road: it stays the module the first road made.
    if (ext->spec && PyObject_SetAttrString(module, "__spec__", ext->spec) < 0) return -1;
    return 0;
  }
  try {
    py::detail::get_internals();
    py::options options;
    options.disable_function_signatures();  // for the functions the runtime itself makes
    auto m = py::reinterpret_borrow<py::module_>(module);
    ext->body(m);
  } catch (py::error_already_set& e) {
    e.restore();
    return -1;
  } catch (py::builtin_exception& e) {
    e.set_error();
    return -1;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return -1;
  }
  Py_INCREF(module);
  ext->module = module;
  ext->spec = PyObject_GetAttrString(module, "__spec__");
  if (!ext->spec) PyErr_Clear();
  return 0;
}

}  // namespace

PyObject* init_extension(Extension& ext, const char* name, void (*body)(py::module_&)) {
  if (!ext.body) {
    ext.body = body;
    ext.slots[0] = {Py_mod_create, reinterpret_cast<void*>(&create_module)};
    ext.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(&exec_module)};
    ext.slots[2] = {0, nullptr};
    ext.def = PyModuleDef{PyModuleDef_HEAD_INIT, name, nullptr, 0, nullptr,
                          ext.slots, nullptr, nullptr, nullptr};
  }
  return PyModuleDef_Init(&ext.def);
}

}  // namespace runtime

// ---------------------------------------------------------------------------------------------
// Module-level facilities

py::module_ import_module(const std::string& name, const std::string& package) {
  auto importlib = py::module_::import("importlib");
  if (package.empty()) return importlib.attr("import_module")(name);
  return importlib.attr("import_module")(name, package);
}

void bind_names_from(py::module_& target, const py::object& source,
                     std::initializer_list<const char*> names) {
  for (const char* name : names) {
    PyObject* value = PyObject_GetAttrString(source.ptr(), name);
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
      PyErr_Clear();
      py::object mod_name = getattr_or_none(source, "__name__");
      py::object file = getattr_or_none(source, "__file__");
      std::string where = file.is_none() ? "unknown location" : py::str(file).cast<std::string>();
      std::string message = "cannot import name '" + std::string(name) + "' from " +
                            py::repr(mod_name).cast<std::string>() + " (" + where + ")";
      py::str msg(message);
      PyErr_SetImportError(msg.ptr(), mod_name.ptr(), file.ptr());
      throw py::error_already_set();
    }
    target.attr(name) = py::reinterpret_steal<py::object>(value);
  }
}

void import_names(py::module_& target, const std::string& module_name,
                  std::initializer_list<const char*> names) {
  py::object source = import_module(module_name);
  bind_names_from(target, source, names);
}

std::string module_dir(const py::module_& m) {
  auto path = py::module_::import("os").attr("path");
  return py::str(path.attr("dirname")(path.attr("abspath")(m.attr("__file__"))));
}

bool debug_flag() {
  return py::module_::import("sys").attr("flags").attr("optimize").cast<long>() == 0;
}

py::object get_logger(const py::module_& m) {
  return py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
}

void log(const py::handle& logger, LogLevel level, const py::str& message) {
  static const char* methods[] = {"debug", "info", "warning", "error"};
  logger.attr(methods[static_cast<int>(level)])(message);
}

void warn(const std::string& message, PyObject* category) {
  if (PyErr_WarnEx(category, message.c_str(), 1) < 0) throw py::error_already_set();
}

// ---------------------------------------------------------------------------------------------
// Classes

py::object new_class(py::module_& m, const char* name, const py::object& bases, const char* doc) {
  py::tuple base_tuple = py::isinstance<py::tuple>(bases) ? py::reinterpret_borrow<py::tuple>(bases)
                                                          : py::make_tuple(bases);
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = py::str(name);
  ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
  auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object cls = type(py::str(name), base_tuple, ns);
  m.attr(name) = cls;
  return cls;
}

py::object new_class(py::module_& m, const char* name, std::initializer_list<py::object> bases,
                     const char* doc) {
  py::tuple t(bases.size());
  size_t i = 0;
  for (const auto& b : bases) t[i++] = b;
  return new_class(m, name, t, doc);
}

py::object nn_module() { return py::module_::import("torch.nn").attr("Module"); }

void init_module_base(const py::handle& self) { nn_module().attr("__init__")(self); }

// ---------------------------------------------------------------------------------------------
// Records

py::object typing_attr(const char* name) { return py::module_::import("typing").attr(name); }

py::object new_record(py::module_& m, const char* name, const char* doc,
                      const std::vector<Field>& fields, py::object post_init) {
  py::list spec;
  for (const Field& f : fields) {
    if (f.required)
      spec.append(py::make_tuple(py::str(f.name), f.type));
    else
      spec.append(py::make_tuple(py::str(f.name), f.type, f.default_value));
  }
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = py::str(name);
  ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
  if (!post_init.is_none()) {
    ns["__post_init__"] = py::reinterpret_steal<py::object>(PyInstanceMethod_New(post_init.ptr()));
  }
  auto make_dataclass = py::module_::import("dataclasses").attr("make_dataclass");
#if PY_VERSION_HEX >= 0x030C0000
  // From 3.12 make_dataclass sets __module__ itself, from its caller's frame unless told: called
  // from C++ during an import, that frame is importlib's, and the record would then neither
  // pickle nor repr under its own module.
  py::object cls = make_dataclass(py::str(name), spec, py::arg("namespace") = ns, py::arg("eq") = true,
                                  py::arg("repr") = true, py::arg("module") = m.attr("__name__"));
#else
  py::object cls = make_dataclass(py::str(name), spec, py::arg("namespace") = ns, py::arg("eq") = true,
                                  py::arg("repr") = true);
#endif
  m.attr(name) = cls;
  return cls;
}

// ---------------------------------------------------------------------------------------------
// Arguments

void raise_arg_type(const char* name, const char* expected, const py::handle& value) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, expected, Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

void refuse_setting(const char* name, const char* requirement, const py::handle& value) {
  raise(PyExc_ValueError, std::string(name) + " must be " + requirement + ", got " +
                              py::repr(value).cast<std::string>());
}

void require_setting(const py::handle& value, const char* name, Need need) {
  if (!PyLong_Check(value.ptr()) && !PyFloat_Check(value.ptr())) return;
  // v > 0 or v >= 0 as the interpreter compares, which nan fails.
  const py::int_ zero(0);
  const bool ok = need == Need::Positive ? value > zero : value >= zero;
  if (!ok) refuse_setting(name, need == Need::Positive ? "positive" : "non-negative", value);
}

py::int_ arg_int_object(const py::handle& value, const char* name) {
  if (PyLong_Check(value.ptr())) return py::reinterpret_borrow<py::int_>(value);
  if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) && PyNumber_Check(value.ptr())) {
    PyObject* r = PyNumber_Long(value.ptr());
    if (r) return py::reinterpret_steal<py::int_>(r);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
  }
  raise_arg_type(name, "int", value);
}

py::int_ arg_exact_int(const py::handle& value, const char* name) {
  if (PyLong_CheckExact(value.ptr())) return py::reinterpret_borrow<py::int_>(value);
  if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) && PyNumber_Check(value.ptr())) {
    PyObject* r = PyNumber_Long(value.ptr());
    if (r) return py::reinterpret_steal<py::int_>(r);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
  }
  raise_arg_type(name, "int", value);
}

int64_t arg_int(const py::handle& value, const char* name) {
  py::int_ v = arg_int_object(value, name);
  int overflow = 0;
  long long r = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (overflow) raise(PyExc_OverflowError, std::string("Argument '") + name + "' does not fit in 64 bits");
  return r;
}

double arg_float(const py::handle& value, const char* name) {
  if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
  if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr())) {
    double r = PyFloat_AsDouble(value.ptr());
    if (!(r == -1.0 && PyErr_Occurred())) return r;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
  }
  raise_arg_type(name, "float", value);
}

py::str arg_str(const py::handle& value, const char* name) {
  if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
  raise_arg_type(name, "str", value);
}

py::object arg_dict_or_none(const py::handle& value, const char* name) {
  if (value.is_none() || PyDict_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  raise_arg_type(name, "dict", value);
}

at::Tensor arg_tensor(const py::handle& value, const char* name) {
  if (THPVariable_Check(value.ptr())) return THPVariable_Unpack(value.ptr());
  raise_arg_type(name, "Tensor", value);
}

bool truth(const py::handle& value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

namespace {
[[noreturn]] void raise_unpack_count(size_t got, size_t expected) {
  if (got < expected) {
    raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(expected) +
                                ", got " + std::to_string(got) + ")");
  }
  raise(PyExc_ValueError, "too many values to unpack (expected " + std::to_string(expected) + ")");
}

// At most n + 1 items of an iterable: enough to tell too few from too many.
std::vector<py::object> take_items(const py::handle& value, size_t n) {
  PyObject* it = PyObject_GetIter(value.ptr());
  if (!it) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
  }
  auto iter = py::reinterpret_steal<py::object>(it);
  std::vector<py::object> items;
  while (items.size() <= n) {
    PyObject* item = PyIter_Next(iter.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    items.push_back(py::reinterpret_steal<py::object>(item));
  }
  return items;
}

}  // namespace

std::vector<py::object> unpack(const py::handle& value, size_t n) {
  std::vector<py::object> items = take_items(value, n);
  if (items.size() != n) raise_unpack_count(items.size(), n);
  return items;
}

std::vector<int64_t> unpack_shape(const at::Tensor& t, size_t n) {
  if (static_cast<size_t>(t.dim()) != n) raise_unpack_count(static_cast<size_t>(t.dim()), n);
  return t.sizes().vec();
}

namespace {
[[noreturn]] void raise_unpack_count_counted(size_t got, size_t expected) {
  if (got < expected) {
    raise(PyExc_ValueError, "need more than " + std::to_string(got) + " value" + (got == 1 ? "" : "s") +
                                " to unpack");
  }
  raise(PyExc_ValueError, "too many values to unpack (expected " + std::to_string(expected) + ")");
}
}  // namespace

std::vector<py::object> unpack_counted(const py::handle& value, size_t n) {
  std::vector<py::object> items = take_items(value, n);
  if (items.size() != n) raise_unpack_count_counted(items.size(), n);
  return items;
}

std::vector<int64_t> unpack_shape_counted(const at::Tensor& t, size_t n) {
  if (static_cast<size_t>(t.dim()) != n) raise_unpack_count_counted(static_cast<size_t>(t.dim()), n);
  return t.sizes().vec();
}

void set_context(const py::error_already_set& raised, const py::error_already_set& handled) {
  PyObject* context = handled.value().ptr();
  if (!context || raised.value().ptr() == context) return;
  Py_INCREF(context);
  PyException_SetContext(raised.value().ptr(), context);
}

py::handle interned(const char* name) {
  // Keyed by the text's address; the stored string's text is compared as well, so a name that is
  // not a literal is still given its own string. A small table indexed by the address answers
  // most calls before the map is asked.
  struct Recent {
    const char* name;
    PyObject* str;     // held by the map
    const char* text;  // the string's own text, which lives as long as it does
  };
  static Recent recent[1024];
  // Literals lie a few bytes apart: the address is mixed before its top bits pick the slot.
  Recent& slot = recent[(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name)) * 0x9E3779B97F4A7C15ull) >> 54];
  if (slot.name == name && std::strcmp(slot.text, name) == 0) return slot.str;

  static auto* table = new std::unordered_map<const char*, PyObject*>();  // lives as long as the interpreter
  auto found = table->find(name);
  PyObject* str = nullptr;
  if (found != table->end() && std::strcmp(PyUnicode_AsUTF8(found->second), name) == 0) {
    str = found->second;
  } else {
    str = PyUnicode_InternFromString(name);
    if (!str) throw py::error_already_set();
    if (found != table->end()) {
      // The address now holds another text; its one slot is rewritten below.
      Py_DECREF(found->second);
      found->second = str;
    } else {
      table->emplace(name, str);
    }
  }
  const char* text = PyUnicode_AsUTF8(str);
  if (!text) throw py::error_already_set();
  slot = Recent{name, str, text};
  return str;
}

py::object getattr_or_none(const py::handle& obj, const char* name) {
  PyObject* r = PyObject_GetAttr(obj.ptr(), interned(name).ptr());
  if (r) return py::reinterpret_steal<py::object>(r);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::none();
}

bool has_attr(const py::handle& obj, const char* name) {
  PyObject* r = PyObject_GetAttr(obj.ptr(), interned(name).ptr());
  if (r) {
    Py_DECREF(r);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return false;
}

// ---------------------------------------------------------------------------------------------
// Tensors and registries

namespace {
at::Tensor registry_tensor(const py::handle& self, const char* registry, const char* name) {
  py::object dict = self.attr(interned(registry));
  PyObject* value = PyDict_GetItemWithError(dict.ptr(), interned(name).ptr());
  if (!value && PyErr_Occurred()) throw py::error_already_set();
  if (!value || !THPVariable_Check(value)) {
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no tensor '%.200s' in %s",
                 Py_TYPE(self.ptr())->tp_name, name, registry);
    throw py::error_already_set();
  }
  return THPVariable_Unpack(value);
}
}  // namespace

at::Tensor buffer(const py::handle& self, const char* name) { return registry_tensor(self, "_buffers", name); }

at::Tensor parameter(const py::handle& self, const char* name) {
  return registry_tensor(self, "_parameters", name);
}

py::object child(const py::handle& self, const char* name) {
  py::object dict = self.attr("_modules");
  PyObject* value = PyDict_GetItemString(dict.ptr(), name);
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no child module '%.200s'",
                 Py_TYPE(self.ptr())->tp_name, name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

namespace {
struct ModuleLookup {
  PyObject* getattribute = nullptr;  // object.__getattribute__
  PyObject* getattr = nullptr;       // nn.Module.__getattr__
  PyObject* module_type = nullptr;   // nn.Module
  PyObject* call = nullptr;          // nn.Module.__call__
};

const ModuleLookup& module_lookup() {
  // Leaked on purpose: the interpreter owns these for the life of the process.
  static const ModuleLookup lookup = [] {
    ModuleLookup l;
    // Read through the types' attribute lookup, not their tp_dict: from Python 3.12 on, a static
    // built-in type such as object keeps its dict elsewhere and tp_dict is null. Looked up on a
    // type, a slot wrapper and a plain function come back as the objects the type holds.
    l.module_type = nn_module().release().ptr();
    l.getattribute = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getattribute__");
    if (!l.getattribute) PyErr_Clear();
    l.getattr = PyObject_GetAttrString(l.module_type, "__getattr__");
    if (!l.getattr) PyErr_Clear();
    l.call = PyObject_GetAttrString(l.module_type, "__call__");
    if (!l.call) PyErr_Clear();
    return l;
  }();
  return lookup;
}
}  // namespace

namespace {
// The value nn.Module.__getattr__ would give for `key` from the registries, without running it,
// when the lookup of `key` on `self` ends there (the class keeps object's __getattribute__ and
// nn.Module's __getattr__, and neither the class nor the instance dictionary holds the name);
// borrowed. Null otherwise, with `absent` set when no registry holds the name either, so the
// lookup would end in __getattr__'s AttributeError.
PyObject* registry_value(const py::handle& self, const py::handle& key, bool& absent) {
  absent = false;
  const ModuleLookup& lookup = module_lookup();
  PyTypeObject* type = Py_TYPE(self.ptr());
  if (!lookup.getattr || !lookup.getattribute || _PyType_Lookup(type, key.ptr()) != nullptr ||
      !PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(lookup.module_type)) ||
      _PyType_Lookup(type, interned("__getattr__").ptr()) != lookup.getattr ||
      _PyType_Lookup(type, interned("__getattribute__").ptr()) != lookup.getattribute) {
    return nullptr;
  }
  PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
  if (!dict) {
    PyErr_Clear();
    return nullptr;
  }
  const py::object owner = py::reinterpret_steal<py::object>(dict);
  if (PyDict_GetItemWithError(dict, key.ptr())) return nullptr;
  if (PyErr_Occurred()) throw py::error_already_set();
  for (const char* registry : {"_parameters", "_buffers", "_modules"}) {
    PyObject* table = PyDict_GetItemWithError(dict, interned(registry).ptr());
    if (!table && PyErr_Occurred()) throw py::error_already_set();
    if (!table || !PyDict_Check(table)) continue;
    if (PyObject* value = PyDict_GetItemWithError(table, key.ptr())) return value;
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  absent = true;
  return nullptr;
}
}  // namespace

py::object module_attr(const py::handle& self, const char* name) {
  const py::handle key = interned(name);
  bool absent = false;
  if (PyObject* value = registry_value(self, key, absent)) return py::reinterpret_borrow<py::object>(value);
  return self.attr(key);
}

py::object module_attr_or_none(const py::handle& self, const char* name) {
  const py::handle key = interned(name);
  bool absent = false;
  if (PyObject* value = registry_value(self, key, absent)) return py::reinterpret_borrow<py::object>(value);
  if (absent) return py::none();
  return getattr_or_none(self, name);
}

void register_buffer(const py::handle& self, const char* name, const at::Tensor& t, bool persistent) {
  self.attr("register_buffer")(py::str(name), to_py(t), py::arg("persistent") = persistent);
}

void register_parameter(const py::handle& self, const char* name, const at::Tensor& t) {
  py::object param = py::module_::import("torch.nn").attr("Parameter")(to_py(t));
  set_attr(self, name, param);
}

void set_attr(const py::handle& self, const char* name, const py::object& value) {
  if (PyObject_SetAttr(self.ptr(), interned(name).ptr(), value.ptr()) < 0) throw py::error_already_set();
}

at::ScalarType default_dtype() { return c10::typeMetaToScalarType(c10::get_default_dtype()); }

void check_in_place(const at::Tensor& target, const at::Tensor& operand) {
  const auto shape = at::infer_size(target.sizes(), operand.sizes());
  TORCH_CHECK(c10::IntArrayRef(shape) == target.sizes(), "output with shape ", target.sizes(),
              " doesn't match the broadcast shape ", c10::IntArrayRef(shape));
  const at::ScalarType result = at::result_type(target, operand);
  TORCH_CHECK(at::canCast(result, target.scalar_type()), "result type ", result,
              " can't be cast to the desired output type ", target.scalar_type());
}

bool readable_in_place(const at::Tensor& t) {
  if (torch::jit::tracer::isTracing() || !t.defined()) return false;
  if (!t.device().is_cpu() || t.layout() != at::kStrided || !t.has_storage() || t._is_zerotensor()) return false;
  if (t.is_neg() || t.is_conj() || t.is_quantized() || at::isComplexType(t.scalar_type())) return false;
  const c10::DispatchKeySet keys = t.key_set();
  return !keys.has(c10::DispatchKey::Python) && !keys.has(c10::DispatchKey::Functionalize) &&
         t.data_ptr() != nullptr;
}

void copy_if_finite(const at::Tensor& target, const at::Tensor& updated, const at::Tensor& value) {
  at::NoGradGuard no_grad;
  // One value in host memory: tested where it lies, and the update is one copy or none.
  if (value.numel() == 1 && readable_in_place(value) && target.device() == value.device() &&
      target.numel() == 1 && updated.numel() == 1) {
    bool finite = true;
    AT_DISPATCH_ALL_TYPES_AND3(at::kHalf, at::kBFloat16, at::kBool, value.scalar_type(), "copy_if_finite", [&] {
      if constexpr (!std::is_integral_v<scalar_t>) {
        finite = std::isfinite(static_cast<double>(*value.data_ptr<scalar_t>()));
      }
    });
    if (finite) target.copy_(updated.detach());
    return;
  }
  const at::Tensor finite = at::isfinite(value.detach()).to(target.device());
  target.copy_(at::where(finite, updated.detach().to(target.scalar_type()), target));
}


namespace {
template <typename T>
void blend_in_place(const at::Tensor& target, double keep, const at::Tensor& value, double take) {
  const T v = *value.data_ptr<T>();
  if (!std::isfinite(v)) return;
  T* t = target.data_ptr<T>();
  const T kept = *t * static_cast<T>(keep);
  const T taken = v * static_cast<T>(take);
  *t = kept + taken;
  mark_written(target);
}
}  // namespace

void blend_if_finite(const at::Tensor& target, double keep, const at::Tensor& value, double take) {
  at::NoGradGuard no_grad;
  const at::Tensor v = value.detach();
  for (const at::ScalarType dtype : {at::kFloat, at::kDouble}) {
    if (is_writable_host_scalar(target, dtype) && is_host_scalar(v, dtype) && !shares_memory(target, v)) {
      return dtype == at::kFloat ? blend_in_place<float>(target, keep, v, take)
                                 : blend_in_place<double>(target, keep, v, take);
    }
  }
  copy_if_finite(target, target * keep + v * take, v);
}

namespace {
// Whether the registry `name` of a module (an instance attribute or a global of
// torch.nn.modules.module) holds anything; absent registries (other torch versions) hold nothing.
bool registry_in_use(PyObject* dict, const char* name) {
  PyObject* value = PyDict_GetItemWithError(dict, interned(name).ptr());
  if (!value && PyErr_Occurred()) throw py::error_already_set();
  if (!value || value == Py_None) return false;
  const Py_ssize_t n = PyObject_Length(value);
  if (n < 0) {
    PyErr_Clear();
    return true;
  }
  return n > 0;
}

struct ModuleClass {
  PyObject* type = nullptr;     // torch.nn.<name>
  PyObject* forward = nullptr;  // its forward as the class was loaded
};

// torch.nn.modules.module.__dict__, where the global hooks live.
PyObject* module_globals() {
  // Leaked on purpose: the interpreter owns it for the life of the process.
  static PyObject* globals = py::object(py::module_::import("torch.nn.modules.module").attr("__dict__")).release().ptr();
  return globals;
}

const ModuleClass& module_class(const char* name) {
  // Leaked on purpose, as above; read and filled with the interpreter lock held.
  static auto* classes = new std::vector<std::pair<std::string, ModuleClass>>();
  for (const auto& entry : *classes) {
    if (entry.first == name) return entry.second;
  }
  ModuleClass c;
  py::object type = py::module_::import("torch.nn").attr(name);
  c.type = type.release().ptr();
  c.forward = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(c.type)->tp_dict, "forward");
  Py_XINCREF(c.forward);
  classes->emplace_back(name, c);
  return classes->back().second;
}

// The instance dictionary of a module whose call runs nothing but its forward (no hook of its own
// or global, not compiled, outside tracing) and that sets no `forward` of its own, or nothing.
py::object unhooked_instance_dict(const py::handle& module) {
  if (torch::jit::tracer::isTracing()) return py::object();
  PyObject* instance_dict = PyObject_GenericGetDict(module.ptr(), nullptr);
  if (!instance_dict) {
    PyErr_Clear();
    return py::object();
  }
  py::object dict = py::reinterpret_steal<py::object>(instance_dict);
  if (PyDict_GetItem(instance_dict, interned("forward").ptr())) return py::object();
  for (const char* registry : {"_forward_hooks", "_forward_pre_hooks", "_backward_hooks", "_backward_pre_hooks",
                               "_compiled_call_impl"}) {
    if (registry_in_use(instance_dict, registry)) return py::object();
  }
  for (const char* registry : {"_global_forward_hooks", "_global_forward_pre_hooks", "_global_backward_hooks",
                               "_global_backward_pre_hooks"}) {
    if (registry_in_use(module_globals(), registry)) return py::object();
  }
  return dict;
}

// The instance dictionary of a module whose call is exactly torch.nn.<name>.forward (see
// plain_module), or nothing.
py::object plain_instance_dict(const py::handle& module, const char* name) {
  const ModuleClass& cls = module_class(name);
  if (reinterpret_cast<PyObject*>(Py_TYPE(module.ptr())) != cls.type) return py::object();
  PyObject* own_forward = PyDict_GetItem(reinterpret_cast<PyTypeObject*>(cls.type)->tp_dict, interned("forward").ptr());
  if (!own_forward || own_forward != cls.forward) return py::object();
  return unhooked_instance_dict(module);
}
}  // namespace

bool calls_only(const py::handle& module, const py::handle& type, const py::handle& forward) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(module.ptr())) != type.ptr()) return false;
  PyObject* module_call = module_lookup().call;
  if (!module_call || _PyType_Lookup(Py_TYPE(module.ptr()), interned("__call__").ptr()) != module_call) return false;
  if (!resolves_to(module, "forward", forward)) return false;
  return static_cast<bool>(unhooked_instance_dict(module));
}

bool plain_module(const py::handle& module, const char* name) {
  return static_cast<bool>(plain_instance_dict(module, name));
}

PlainLinear plain_linear(const py::handle& module, const py::handle& x) {
  PlainLinear result;
  if (!THPVariable_Check(x.ptr()) || torch::check_has_torch_function(x.ptr())) return result;
  const py::object dict_owner = plain_instance_dict(module, "Linear");
  if (!dict_owner) return result;
  PyObject* dict = dict_owner.ptr();
  for (const char* name : {"weight", "bias"}) {
    if (PyDict_GetItem(dict, interned(name).ptr())) return result;
  }
  PyObject* parameters = PyDict_GetItem(dict, interned("_parameters").ptr());
  if (!parameters || !PyDict_Check(parameters)) return result;
  PyObject* weight = PyDict_GetItem(parameters, interned("weight").ptr());
  PyObject* bias = PyDict_GetItem(parameters, interned("bias").ptr());
  if (!weight || !THPVariable_Check(weight) || torch::check_has_torch_function(weight, /*ignore_mode=*/true)) {
    return result;
  }
  if (!bias) return result;
  if (bias != Py_None && (!THPVariable_Check(bias) || torch::check_has_torch_function(bias, true))) return result;
  result.plain = true;
  result.weight = THPVariable_Unpack(weight);
  if (bias != Py_None) result.bias = THPVariable_Unpack(bias);
  return result;
}

at::Tensor rows_linear(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias) {
  const at::Tensor rows = x.reshape({-1, x.size(-1)});
  const at::Tensor out = bias.defined() ? at::addmm(bias, rows, weight.t()) : at::mm(rows, weight.t());
  std::vector<int64_t> sizes = x.sizes().vec();
  sizes.back() = weight.size(0);
  return out.view(sizes);
}

namespace {
// x [..., in] @ weight^T (+ bias) as one autograd node. The composed form records up to four (a
// reshape, the transpose, the product, the unfold) for an input of three or more dimensions; at
// small sizes each costs more than its arithmetic. Forward and backward make the very products the
// composed form makes, so values and gradients are the same numbers.
template <bool WithBias>
class LinearRows : public torch::autograd::Function<LinearRows<WithBias>> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& x, const at::Tensor& weight) {
    static_assert(!WithBias);
    return product(ctx, x, weight, at::Tensor());
  }
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& x, const at::Tensor& weight,
                            const at::Tensor& bias) {
    static_assert(WithBias);
    return product(ctx, x, weight, bias);
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    torch::autograd::variable_list out(WithBias ? 3 : 2);
    const at::Tensor& grad = grads[0];
    if (!grad.defined()) return out;
    const auto saved = ctx->get_saved_variables();
    const at::Tensor rows = saved[0].reshape({-1, saved[0].size(-1)});
    const at::Tensor& weight = saved[1];
    const at::Tensor g = grad.reshape({-1, weight.size(0)});
    if (ctx->needs_input_grad(0)) {
      std::vector<int64_t> sizes = grad.sizes().vec();
      sizes.back() = weight.size(1);
      out[0] = g.mm(weight).view(sizes);
    }
    if (ctx->needs_input_grad(1)) out[1] = g.t().mm(rows);
    if (WithBias && ctx->needs_input_grad(2)) out[2] = g.sum(0);
    return out;
  }

 private:
  static at::Tensor product(torch::autograd::AutogradContext* ctx, const at::Tensor& x, const at::Tensor& weight,
                            const at::Tensor& bias) {
    ctx->save_for_backward({x, weight});  // the input itself: a graph of the gradient reaches it
    return rows_linear(x, weight, bias);
  }
};
}  // namespace

at::Tensor linear_rows(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias) {
  const bool strided = x.layout() == at::kStrided && weight.layout() == at::kStrided &&
                       (!bias.defined() || (bias.layout() == at::kStrided && bias.dim() == 1));
  const bool graph = at::GradMode::is_enabled() &&
                     (x.requires_grad() || weight.requires_grad() || (bias.defined() && bias.requires_grad()));
  if (!graph || !strided || x.dim() < 2 || weight.dim() != 2 || x.size(-1) != weight.size(1) ||
      !x.is_contiguous() || !at::isFloatingType(x.scalar_type()) || weight.scalar_type() != x.scalar_type() ||
      (bias.defined() && bias.scalar_type() != x.scalar_type()) || x.is_mkldnn() ||
      x.device() != weight.device()) {
    return at::linear(x, weight, bias);
  }
  return bias.defined() ? LinearRows<true>::apply(x, weight, bias) : LinearRows<false>::apply(x, weight);
}

py::object call_linear(const py::handle& module, const py::object& x) {
  const PlainLinear layer = plain_linear(module, x);
  if (!layer.plain) return module(x);
  return to_py(linear_rows(THPVariable_Unpack(x.ptr()), layer.weight, layer.bias));
}

namespace {
// The sum of f(p[i]) in double precision, with independent partial sums so that the additions
// do not wait on each other.
template <typename scalar_t, typename F>
double row_sum(const scalar_t* p, int64_t n, F f) {
  double a[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int k = 0; k < 8; ++k) a[k] += f(static_cast<double>(p[i + k]));
  }
  double tail = 0.0;
  for (; i < n; ++i) tail += f(static_cast<double>(p[i]));
  return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7])) + tail;
}
}  // namespace

at::Tensor mean_row_variance(const at::Tensor& t) {
  at::NoGradGuard no_grad;
  const at::Tensor v = t.detach();
  const bool direct = v.dim() >= 1 && v.numel() > 0 && v.size(-1) > 1 && v.layout() == at::kStrided &&
                      (v.scalar_type() == at::kFloat || v.scalar_type() == at::kDouble) &&
                      readable_in_place(v);
  if (!direct) return v.var(-1, /*unbiased=*/true, /*keepdim=*/true).mean();
  const at::Tensor c = v.contiguous();
  const int64_t S = c.size(-1), rows = c.numel() / S;
  double total = 0.0;
  AT_DISPATCH_FLOATING_TYPES(c.scalar_type(), "mean_row_variance", [&] {
    const scalar_t* data = c.data_ptr<scalar_t>();
    for (int64_t r = 0; r < rows; ++r) {
      const scalar_t* row = data + r * S;
      const double mean = row_sum(row, S, [](double v) { return v; }) / static_cast<double>(S);
      const double squares = row_sum(row, S, [mean](double v) { return (v - mean) * (v - mean); });
      total += squares / static_cast<double>(S - 1);
    }
  });
  // Cast as a computation in the tensor's own dtype would round (the conversion a copy from
  // float64 makes): a mean beyond its range is inf.
  const double mean = total / static_cast<double>(rows);
  at::Tensor result = at::empty({}, v.options().dtype(c.scalar_type()));
  if (c.scalar_type() == at::kFloat) {
    *result.data_ptr<float>() = static_cast<float>(mean);
  } else {
    *result.data_ptr<double>() = mean;
  }
  return result;
}

size_t HostScalars::add(const at::Tensor& t, bool integer) {
  if (t.numel() != 1) t.item();  // .item()'s refusal
  if (readable_in_place(t)) {
    double real = 0.0;
    bool exact = true;  // the integer conversion is plain truncation
    int64_t whole = 0;
    AT_DISPATCH_ALL_TYPES_AND3(at::kHalf, at::kBFloat16, at::kBool, t.scalar_type(), "HostScalars", [&] {
      const scalar_t v = *t.data_ptr<scalar_t>();
      if constexpr (std::is_integral_v<scalar_t>) {
        whole = static_cast<int64_t>(v);
        real = static_cast<double>(v);
      } else {
        real = static_cast<double>(v);
        // What truncation cannot hold (non-finite, beyond int64) is left to the tensor library.
        exact = std::isfinite(real) && real > -9223372036854775808.0 && real < 9223372036854775808.0;
        if (exact) whole = static_cast<int64_t>(real);
      }
    });
    if (!integer) {
      reals_.push_back({real, at::Tensor()});
      return reals_.size() - 1;
    }
    if (exact) {
      integers_.push_back({whole, at::Tensor()});
      return integers_.size() - 1;
    }
  }
  const at::Tensor value = t.detach().reshape({});
  if (!device_) device_ = value.device();
  const at::Tensor pending = value.to(*device_, integer ? at::kLong : at::kDouble);
  if (integer) {
    integers_.push_back({0, pending});
    return integers_.size() - 1;
  }
  reals_.push_back({0.0, pending});
  return reals_.size() - 1;
}

void HostScalars::fetch() {
  std::vector<at::Tensor> ints, reals;
  for (const auto& s : integers_) {
    if (s.pending.defined()) ints.push_back(s.pending);
  }
  for (const auto& s : reals_) {
    if (s.pending.defined()) reals.push_back(s.pending);
  }
  if (ints.empty() && reals.empty()) return;
  // Both kinds in one int64 transfer: the reals by their bits.
  std::vector<at::Tensor> parts;
  if (!ints.empty()) parts.push_back(at::stack(ints));
  if (!reals.empty()) parts.push_back(at::stack(reals).view(at::kLong));
  const at::Tensor host = at::cat(parts).cpu().contiguous();
  const int64_t* data = host.data_ptr<int64_t>();
  for (auto& s : integers_) {
    if (!s.pending.defined()) continue;
    s.value = *data++;
    s.pending = at::Tensor();
  }
  for (auto& s : reals_) {
    if (!s.pending.defined()) continue;
    std::memcpy(&s.value, data++, sizeof(double));
    s.pending = at::Tensor();
  }
}

at::Tensor carried_start(const at::Tensor& carried, int64_t batch) {
  if (carried.dim() != 2) return carried;  // not a carried state: the caller's shape error
  const int64_t rows = carried.size(0);
  if (rows == 1 || rows == batch) return carried;
  return at::zeros({1, carried.size(1)}, carried.options());
}

namespace {
// Whether every value of a two-dimensional tensor in host memory is finite, read where it lies.
bool all_finite_in_place(const at::Tensor& t) {
  bool finite = true;
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, t.scalar_type(), "all_finite", [&] {
    const scalar_t* data = t.data_ptr<scalar_t>();
    const int64_t rows = t.size(0), cols = t.size(1), rs = t.stride(0), cs = t.stride(1);
    for (int64_t r = 0; r < rows && finite; ++r) {
      for (int64_t c = 0; c < cols; ++c) {
        if (!std::isfinite(static_cast<at::opmath_type<scalar_t>>(data[r * rs + c * cs]))) {
          finite = false;
          break;
        }
      }
    }
  });
  return finite;
}
}  // namespace

at::Tensor carried_next(const at::Tensor& next, const at::Tensor& start) {
  at::NoGradGuard no_grad;
  const at::Tensor final_state = next.detach();
  // A state in host memory with every row finite is carried on as a copy of itself.
  const bool start_fits = start.dim() == 2 && final_state.dim() == 2 && start.size(1) == final_state.size(1) &&
                          (start.size(0) == 1 || start.size(0) == final_state.size(0));
  if (start_fits && readable_in_place(final_state) && at::isFloatingType(final_state.scalar_type()) &&
      all_finite_in_place(final_state)) {
    return final_state.clone(at::MemoryFormat::Contiguous);
  }
  const at::Tensor finite_rows = at::isfinite(final_state).all(-1, /*keepdim=*/true);
  return at::where(finite_rows, final_state, start.detach().to(final_state.device(), final_state.scalar_type()));
}

namespace {
// The Euclidean length of n values `stride` apart, summed in double precision (no overflow for
// any single-precision value) in four interleaved partial sums.
template <typename scalar_t>
double row_length(const scalar_t* data, int64_t n, int64_t stride) {
  double partial[4] = {0.0, 0.0, 0.0, 0.0};
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int k = 0; k < 4; ++k) {
      const double v = static_cast<double>(data[(i + k) * stride]);
      partial[k] += v * v;
    }
  }
  for (; i < n; ++i) {
    const double v = static_cast<double>(data[i * stride]);
    partial[0] += v * v;
  }
  return std::sqrt((partial[0] + partial[1]) + (partial[2] + partial[3]));
}

// The length cap of carried_next on tensors in host memory, read where they lie. Returns `state`
// itself when no row is over its cap.
at::Tensor length_capped_in_place(const at::Tensor& state, const at::Tensor& start, const at::Tensor& input) {
  const int64_t B = state.size(0), S = state.size(1), T = input.size(1);
  std::vector<double> scale(static_cast<size_t>(B), 1.0);
  std::atomic<bool> over{false};
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, state.scalar_type(), "length_capped", [&] {
    const scalar_t* x = state.data_ptr<scalar_t>();
    const scalar_t* s0 = start.data_ptr<scalar_t>();
    const scalar_t* in = input.data_ptr<scalar_t>();
    const int64_t s0_row = start.size(0) == 1 ? 0 : start.stride(0);
    const int64_t in_row = input.size(0) == 1 ? 0 : input.stride(0);
    // About 2^15 values a thread, as the scan splits its rows.
    const int64_t grain = std::max<int64_t>(1, (int64_t{1} << 15) / std::max<int64_t>(1, T * S));
    at::parallel_for(0, B, grain, [&](int64_t begin, int64_t end) {
      for (int64_t b = begin; b < end; ++b) {
        double cap = row_length(s0 + b * s0_row, S, start.stride(1));
        for (int64_t t = 0; t < T; ++t) {
          cap = std::max(cap, row_length(in + b * in_row + t * input.stride(1), S, input.stride(2)));
        }
        const double length = row_length(x + b * state.stride(0), S, state.stride(1));
        // A non-finite row is carried_next's to replace; a non-finite cap holds nothing back.
        if (std::isfinite(length) && length > cap) {
          scale[static_cast<size_t>(b)] = cap / length;
          over = true;
        }
      }
    });
  });
  if (!over) return state;
  at::Tensor capped = state.clone(at::MemoryFormat::Contiguous);
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, capped.scalar_type(), "length_capped", [&] {
    scalar_t* x = capped.data_ptr<scalar_t>();
    for (int64_t b = 0; b < B; ++b) {
      const double f = scale[static_cast<size_t>(b)];
      if (f == 1.0) continue;
      for (int64_t j = 0; j < S; ++j) x[b * S + j] = static_cast<scalar_t>(static_cast<double>(x[b * S + j]) * f);
    }
  });
  return capped;
}
}  // namespace

at::Tensor carried_next(const at::Tensor& next, const at::Tensor& start, const at::Tensor& input) {
  at::NoGradGuard no_grad;
  const at::Tensor state = next.detach();
  const bool fits = state.dim() == 2 && start.dim() == 2 && input.dim() == 3 && input.size(1) > 0 &&
                    start.size(1) == state.size(1) && input.size(2) == state.size(1) &&
                    (start.size(0) == 1 || start.size(0) == state.size(0)) &&
                    (input.size(0) == 1 || input.size(0) == state.size(0));
  if (!fits || !at::isFloatingType(state.scalar_type())) return carried_next(state, start);
  const at::ScalarType dtype = state.scalar_type();
  if (readable_in_place(state) && readable_in_place(start) && readable_in_place(input) &&
      start.scalar_type() == dtype && input.scalar_type() == dtype) {
    return carried_next(length_capped_in_place(state, start, input), start);
  }
  // Elsewhere the same in tensor operations, the lengths in double precision.
  const std::vector<int64_t> last{-1}, sequence{1};
  const at::Tensor x = state.to(at::kDouble);
  const at::Tensor start_length =
      at::linalg_vector_norm(start.detach().to(state.device(), at::kDouble), 2, last, true, c10::nullopt);
  const at::Tensor input_length = at::amax(
      at::linalg_vector_norm(input.detach().to(state.device(), at::kDouble), 2, last, false, c10::nullopt),
      sequence, true);
  const at::Tensor cap = at::maximum(start_length, input_length);
  const at::Tensor length = at::linalg_vector_norm(x, 2, last, true, c10::nullopt);
  const at::Tensor over = at::logical_and(at::isfinite(length), length > cap);
  const at::Tensor capped = at::where(over, (x * (cap / length)).to(dtype), state);
  return carried_next(capped, start);
}

void check_has_first_step(c10::IntArrayRef chunk) {
  if (chunk.size() >= 2 && chunk[1] == 0) {
    raise(PyExc_IndexError, "a chunk of length 0 has no first time step to score (input of shape " +
                                c10::str(chunk) + ")");
  }
}

bool set_on_instance(const py::handle& obj, const char* name) {
  py::object dict = getattr_or_none(obj, "__dict__");
  if (!PyDict_Check(dict.ptr())) return false;
  PyObject* value = PyDict_GetItemWithError(dict.ptr(), interned(name).ptr());
  if (!value && PyErr_Occurred()) throw py::error_already_set();
  return value != nullptr;
}

bool resolves_to(const py::handle& obj, const char* name, const py::handle& function) {
  if (set_on_instance(obj, name)) return false;
  PyObject* found = _PyType_Lookup(Py_TYPE(obj.ptr()), interned(name).ptr());  // borrowed, no error set
  return found == function.ptr();
}

void OwnMethod::keep(const py::object& cls, const char* name, const py::object& function) {
  name_ = name;
  cls_ = py::object(cls).release().ptr();
  function_ = py::object(function).release().ptr();
  profile_name_ = new std::string(runtime::qualname_in(cls, name));
}

bool is_host_scalar(const at::Tensor& t, at::ScalarType dtype) {
  return t.defined() && t.dim() == 0 && t.scalar_type() == dtype && readable_in_place(t);
}

bool is_writable_host_scalar(const at::Tensor& t, at::ScalarType dtype) {
  return is_host_scalar(t, dtype) && !t.requires_grad() && !t.is_inference();
}

double scalar_to_double(const at::Tensor& t) {
  if (t.defined() && t.numel() == 1 && readable_in_place(t)) {
    switch (t.scalar_type()) {
      case at::kFloat: return *static_cast<const float*>(t.data_ptr());
      case at::kDouble: return *static_cast<const double*>(t.data_ptr());
      case at::kHalf: return static_cast<double>(*static_cast<const at::Half*>(t.data_ptr()));
      case at::kBFloat16: return static_cast<double>(*static_cast<const at::BFloat16*>(t.data_ptr()));
      default: break;
    }
  }
  return t.item<double>();
}

int64_t scalar_to_int(const at::Tensor& t) {
  if (is_host_scalar(t, at::kLong)) return *static_cast<const int64_t*>(t.data_ptr());
  return t.item<int64_t>();
}

namespace {
// One element of `dtype` in host memory that an in-place operation could write: its address is the
// data pointer's, whatever the shape.
bool writable_single(const at::Tensor& t, at::ScalarType dtype) {
  return t.defined() && t.numel() == 1 && t.scalar_type() == dtype && readable_in_place(t) && !t.requires_grad() &&
         !t.is_inference();
}
}  // namespace

void fill_scalar(const at::Tensor& t, double value) {
  if (writable_single(t, at::kDouble)) {
    *static_cast<double*>(t.data_ptr()) = value;
  } else if (writable_single(t, at::kFloat) &&
             (!std::isfinite(value) || std::abs(value) <= std::numeric_limits<float>::max())) {
    *static_cast<float*>(t.data_ptr()) = static_cast<float>(value);
  } else {
    at::Tensor(t).fill_(value);
    return;
  }
  mark_written(t);
}

void fill_scalar(const at::Tensor& t, int64_t value) {
  if (writable_single(t, at::kLong)) {
    *static_cast<int64_t*>(t.data_ptr()) = value;
  } else if (writable_single(t, at::kFloat)) {
    *static_cast<float*>(t.data_ptr()) = static_cast<float>(value);
  } else if (writable_single(t, at::kDouble)) {
    *static_cast<double*>(t.data_ptr()) = static_cast<double>(value);
  } else {
    at::Tensor(t).fill_(value);
    return;
  }
  mark_written(t);
}

at::Tensor number_like(const at::Tensor& like, double value) {
  at::Tensor number = at::empty({}, at::TensorOptions().dtype(like.scalar_type()));
  fill_scalar(number, value);
  return number;
}

bool shares_memory(const at::Tensor& a, const at::Tensor& b) {
  const char* pa = static_cast<const char*>(a.data_ptr());
  const char* pb = static_cast<const char*>(b.data_ptr());
  const int64_t na = static_cast<int64_t>(a.numel() * a.element_size());
  const int64_t nb = static_cast<int64_t>(b.numel() * b.element_size());
  return pa < pb + nb && pb < pa + na;
}

void check_block_call(const py::object& block, const py::object& x, const py::object& state, bool with_logits) {
  if (set_on_instance(block, "forward_with_diagnostics")) return;  // not the forward the check describes
  py::object check = getattr_or_none(block, "_check_forward");
  if (check.is_none()) return;
  check(x, state, py::bool_(with_logits));
}

void register_buffers(const py::handle& self, const BufferSpec* specs, size_t count, int64_t width) {
  const at::ScalarType float_type = default_dtype();
  for (size_t i = 0; i < count; ++i) {
    const BufferSpec& s = specs[i];
    at::ScalarType dtype = float_type;
    switch (s.dtype) {
      case DType::Default: dtype = float_type; break;
      case DType::Float32: dtype = at::kFloat; break;
      case DType::Int64: dtype = at::kLong; break;
      case DType::Int32: dtype = at::kInt; break;
    }
    std::vector<int64_t> shape;
    if (s.shape == Shape::Vector) shape = {width};
    if (s.shape == Shape::Matrix) shape = {width, width};
    auto options = at::TensorOptions().dtype(dtype);
    at::Tensor t = (s.dtype == DType::Int64 || s.dtype == DType::Int32)
                       ? at::full(shape, static_cast<int64_t>(s.initial), options)
                       : at::full(shape, s.initial, options);
    register_buffer(self, s.name, t, s.persistent);
  }
}

at::Tensor BufferView::get(size_t index) const {
  PyObject* value = PyDict_GetItemWithError(buffers_.ptr(), interned(specs_[index].name).ptr());
  if (!value && PyErr_Occurred()) throw py::error_already_set();
  if (!value || !THPVariable_Check(value)) {
    PyErr_Format(PyExc_AttributeError, "buffer '%.200s' is missing", specs_[index].name);
    throw py::error_already_set();
  }
  return THPVariable_Unpack(value);
}

py::object BufferView::object(size_t index) const {
  PyObject* value = PyDict_GetItemWithError(buffers_.ptr(), interned(specs_[index].name).ptr());
  if (!value && PyErr_Occurred()) throw py::error_already_set();
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "buffer '%.200s' is missing", specs_[index].name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

}  // namespace kestrel
