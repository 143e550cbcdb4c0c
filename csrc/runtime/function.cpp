// The function type of the runtime: what def_method and def_function make.
//
// Builtin functions can carry neither attributes (TorchScript's export mark, __signature__) nor
// annotations, and a builtin behind a class attribute binds only through instancemethod. An
// object of this type wraps the pybind11 function, binds like a Python function (a bound method
// of it is an ordinary types.MethodType) and answers inspect from its declaration: parameter
// names, defaults and annotations, built on the first request.
#include "runtime/runtime.h"

#include <ATen/record_function.h>
#include <pybind11/eval.h>
#include <structmember.h>

#include <cstddef>

namespace kestrel::runtime {
namespace {

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kMemberObject = Py_T_OBJECT_EX;
constexpr int kMemberSize = Py_T_PYSSIZET;
constexpr int kMemberReadOnly = Py_READONLY;
#else
constexpr int kMemberObject = T_OBJECT_EX;
constexpr int kMemberSize = T_PYSSIZET;
constexpr int kMemberReadOnly = READONLY;
#endif

struct FunctionObject {
  PyObject_HEAD
  PyObject* wrapped;      // the pybind11 function that binds and converts the arguments
  PyObject* dict;         // __name__, __qualname__, __module__, __doc__ and whatever is set
  PyObject* signature;    // inspect.Signature, once requested
  Declaration* declaration;
  std::string* profile_name;  // the qualified name under which the profiler records a call
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Under torch's profiler every call is a range named after the function, so a profile shows which
// method its tensor operations belong to; otherwise the guard costs a flag test.
PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
  FunctionObject* f = as_function(self);
  RECORD_FUNCTION(*f->profile_name, std::vector<c10::IValue>());
  return PyObject_Call(f->wrapped, args, kwargs);
}

PyObject* bind(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject* repr(PyObject* self) {
  PyObject* qualname = PyObject_GetAttrString(self, "__qualname__");
  if (!qualname) return nullptr;
  PyObject* r = PyUnicode_FromFormat("<function %S>", qualname);
  Py_DECREF(qualname);
  return r;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(f->wrapped);
  Py_VISIT(f->dict);
  Py_VISIT(f->signature);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->wrapped);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->signature);
  return 0;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  clear(self);
  delete as_function(self)->declaration;
  delete as_function(self)->profile_name;
  type->tp_free(self);
  Py_DECREF(type);
}

// An annotation: the expression evaluated in the defining module's namespace and a few names of
// the tensor library and typing; an expression that does not evaluate stays text.
py::object annotation(const char* text, const py::dict& globals, const py::dict& locals) {
  try {
    return py::eval(text, globals, locals);
  } catch (py::error_already_set& e) {
    if (!is_ordinary_error(e)) throw;
    return py::str(text);
  }
}

py::object build_signature(PyObject* self) {
  FunctionObject* f = as_function(self);
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::object empty = parameter.attr("empty");
  py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");

  py::dict globals;
  py::object module_name = py::reinterpret_borrow<py::dict>(f->dict).attr("get")("__module__");
  py::object modules = py::module_::import("sys").attr("modules");
  py::object module = module_name.is_none() ? py::object(py::none()) : modules.attr("get")(module_name);
  if (!module.is_none()) globals = module.attr("__dict__");
  py::dict locals;
  py::module_ torch = py::module_::import("torch");
  locals["torch"] = torch;
  locals["Tensor"] = torch.attr("Tensor");
  for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Tuple", "Union"})
    locals[name] = typing_attr(name);

  py::list parameters;
  for (const Parameter& p : f->declaration->parameters) {
    py::object ann = p.annotation ? annotation(p.annotation, globals, locals) : empty;
    py::object value = p.default_value ? p.default_value : empty;
    parameters.append(parameter(py::str(p.name), kind, py::arg("default") = value, py::arg("annotation") = ann));
  }
  py::object result = f->declaration->returns ? annotation(f->declaration->returns, globals, locals) : empty;
  return inspect.attr("Signature")(parameters, py::arg("return_annotation") = result);
}

PyObject* get_signature(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (!f->signature) {
    try {
      f->signature = build_signature(self).release().ptr();
    } catch (py::error_already_set& e) {
      e.restore();
      return nullptr;
    }
  }
  Py_INCREF(f->signature);
  return f->signature;
}

// What a Python function's __annotations__ would hold: annotated parameters, then "return".
PyObject* get_annotations(PyObject* self, void*) {
  try {
    auto signature = py::reinterpret_steal<py::object>(get_signature(self, nullptr));
    if (!signature) throw py::error_already_set();
    py::object empty = py::module_::import("inspect").attr("Parameter").attr("empty");
    py::dict annotations;
    for (py::handle p : signature.attr("parameters").attr("values")()) {
      py::object ann = p.attr("annotation");
      if (!ann.is(empty)) annotations[p.attr("name")] = ann;
    }
    py::object result = signature.attr("return_annotation");
    if (!result.is(empty)) annotations["return"] = result;
    return annotations.release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

// Pickled by reference, as Python functions are: the qualified name in its module.
PyObject* reduce(PyObject* self, PyObject*) { return PyObject_GetAttrString(self, "__qualname__"); }

PyMemberDef members[] = {
    {const_cast<char*>("__wrapped__"), kMemberObject, offsetof(FunctionObject, wrapped), kMemberReadOnly, nullptr},
    {const_cast<char*>("__dictoffset__"), kMemberSize, offsetof(FunctionObject, dict), kMemberReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef getset[] = {
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {const_cast<char*>("__signature__"), get_signature, nullptr, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyTypeObject* function_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  static PyType_Slot slots[] = {
      {Py_tp_call, reinterpret_cast<void*>(&call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(&bind)},
      {Py_tp_repr, reinterpret_cast<void*>(&repr)},
      {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(&clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
      {Py_tp_members, members},
      {Py_tp_getset, getset},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>("A function or method of the package, made from C++.")},
      {0, nullptr}};
  static PyType_Spec spec = {"silver_kestrel.cpp_function", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (!type) throw py::error_already_set();
  return type;
}

}  // namespace

std::string qualname_in(const py::object& cls, const char* name) {
  return py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
}

py::object make_function(py::cpp_function fn, const char* name, const std::string& qualname,
                         const py::object& module_name, const char* doc, Declaration declaration) {
  PyTypeObject* type = function_type();
  auto self = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
  if (!self) throw py::error_already_set();
  FunctionObject* f = as_function(self.ptr());
  f->declaration = new Declaration(std::move(declaration));
  f->profile_name = new std::string(qualname);
  f->wrapped = fn.release().ptr();
  py::dict dict;
  dict["__name__"] = py::str(name);
  dict["__qualname__"] = py::str(qualname);
  dict["__module__"] = module_name;
  dict["__doc__"] = doc && *doc ? py::object(py::str(doc)) : py::object(py::none());
  f->dict = dict.release().ptr();
  return self;
}

}  // namespace kestrel::runtime

namespace kestrel {

void mark_exported(const py::object& cls, const char* name) {
  py::object fn = cls.attr("__dict__")[name];
  py::module_::import("torch.jit").attr("export")(fn);
}

}  // namespace kestrel
