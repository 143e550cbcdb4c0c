// Shared runtime of the silver_kestrel extension modules.
//
// Every module of the package is built on the pieces declared here:
//   * extension modules that initialise once per process, whatever dotted name imports them;
//   * Python classes created with type() (real nn.Module subclasses) whose methods are C++;
//   * records as real data classes generated from one field table;
//   * the argument conversion rules (int/float/str/dict/truth value);
//   * typed access to a module's own parameters, buffers and children;
//   * logging, warnings, assertions and TorchScript export marks.
#pragma once

#include <ATen/ATen.h>
#include <ATen/record_function.h>
#include <torch/python.h>
#include <torch/csrc/autograd/python_variable.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace py = pybind11;

// Exported from the runtime library: pybind11 declares its namespace hidden, and a function
// whose signature names a hidden type would otherwise be hidden too.
namespace kestrel __attribute__((visibility("default"))) {

// ---------------------------------------------------------------------------------------------
// Errors

// Sets a Python exception of `type` and unwinds to the interpreter.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// True for the interpreter's ImportError and its subclasses (ModuleNotFoundError included).
bool is_import_error(const py::error_already_set& e);

// "Ordinary" errors: everything but KeyboardInterrupt, SystemExit and the like.
bool is_ordinary_error(const py::error_already_set& e);

// ---------------------------------------------------------------------------------------------
// Extension modules
//
// KESTREL_EXTENSION(name) { ...body using `m`... } defines PyInit_<name> with multi-phase
// initialisation: __file__, __name__ and __spec__ are set before the body runs, and the body runs
// once per process. A second import road (a second dotted name, a linked file, execution by file
// location) gets the very same module object back.

namespace runtime {
struct Extension {
  PyModuleDef def;
  PyModuleDef_Slot slots[3];
  void (*body)(py::module_&);
  PyObject* module;  // strong reference once the body has completed
  PyObject* spec;    // the __spec__ of the import road that initialised it
};
PyObject* init_extension(Extension& ext, const char* name, void (*body)(py::module_&));
}  // namespace runtime

#define KESTREL_EXTENSION(name)                                                        \
  static void kestrel_module_body_##name(::pybind11::module_& m);                      \
  /* pybind11's options live in each shared object: set them where the functions are made. */ \
  static void kestrel_module_run_##name(::pybind11::module_& m) {                      \
    ::pybind11::options options;                                                       \
    options.disable_function_signatures();                                             \
    kestrel_module_body_##name(m);                                                     \
  }                                                                                    \
  extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                               \
    static ::kestrel::runtime::Extension ext{};                                        \
    return ::kestrel::runtime::init_extension(ext, #name, &kestrel_module_run_##name); \
  }                                                                                    \
  static void kestrel_module_body_##name(::pybind11::module_& m)

// ---------------------------------------------------------------------------------------------
// Module-level facilities

// importlib.import_module(name, package).
py::module_ import_module(const std::string& name, const std::string& package = "");

// `from <module_name> import a, b, ...` into `target`, binding in order. A missing module or name
// raises ImportError with the interpreter's own text; names bound before the missing one stay.
void import_names(py::module_& target, const std::string& module_name,
                  std::initializer_list<const char*> names);

// Same as import_names but from an already imported module object.
void bind_names_from(py::module_& target, const py::object& source,
                     std::initializer_list<const char*> names);

// The directory of a module's own file: os.path.dirname(os.path.abspath(__file__)).
std::string module_dir(const py::module_& m);

// sys.flags.optimize == 0, i.e. `assert` statements are active. Modules read it once at load.
bool debug_flag();

// logging.getLogger(name) with no handler or level set.
py::object get_logger(const py::module_& m);

enum class LogLevel { Debug, Info, Warning, Error };
// One preformatted message per record.
void log(const py::handle& logger, LogLevel level, const py::str& message);

// warnings.warn(message, category, stacklevel=1); a filter turning it into an error raises.
void warn(const std::string& message, PyObject* category = PyExc_UserWarning);

// ---------------------------------------------------------------------------------------------
// Classes created from C++

// type(name, bases, {__module__, __qualname__, __doc__}) bound into `m` under `name`.
py::object new_class(py::module_& m, const char* name, const py::object& bases, const char* doc);
py::object new_class(py::module_& m, const char* name, std::initializer_list<py::object> bases,
                     const char* doc);

// torch.nn.Module.
py::object nn_module();
// nn.Module.__init__(self).
void init_module_base(const py::handle& self);

// Functions and methods made from C++ are objects of the runtime's function type: they bind
// `self` like Python functions, carry __name__, __qualname__, __module__ and __doc__ (exactly the
// text given) and an instance dict (for TorchScript's export mark), and give inspect a
// __signature__ with parameter names, defaults and annotations. The C++ callable behind one is
// an ordinary pybind11 function (its __wrapped__), which binds and converts the arguments.
//
// Each parameter is declared once, in order: arg("x", "torch.Tensor") or, with a default,
// arg("state", "Optional[Dict]") = py::none(). The annotation is a Python expression evaluated
// on the first request of the signature, in the defining module's namespace extended by torch,
// Tensor and the typing names (an expression that does not evaluate stays text). returns("...")
// declares the return annotation. A plain py::arg counts as a parameter without annotation.
// Methods take `self` first, unannotated and undeclared.
struct ArgDefault {
  const char* name;
  const char* annotation;
  py::object value;
};
struct Arg {
  const char* name;
  const char* annotation;
  template <typename T>
  ArgDefault operator=(T&& value) const {
    if constexpr (std::is_base_of_v<py::handle, std::decay_t<T>>) {
      return ArgDefault{name, annotation, py::reinterpret_borrow<py::object>(value)};
    } else {
      return ArgDefault{name, annotation, py::cast(std::forward<T>(value))};
    }
  }
};
inline Arg arg(const char* name, const char* annotation = nullptr) { return Arg{name, annotation}; }
struct Returns {
  const char* annotation;
};
inline Returns returns(const char* annotation) { return Returns{annotation}; }

namespace runtime {
struct Parameter {
  const char* name;
  const char* annotation;  // may be null
  py::object default_value;  // null: required
};
struct Declaration {
  std::vector<Parameter> parameters;
  const char* returns = nullptr;
};

// One declaration item: recorded into `d`; what pybind11 should see of it is returned as a tuple.
template <typename T>
auto declare(Declaration& d, T&& item) {
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, Arg>) {
    d.parameters.push_back({item.name, item.annotation, py::object()});
    return std::make_tuple(py::arg(item.name));
  } else if constexpr (std::is_same_v<D, ArgDefault>) {
    d.parameters.push_back({item.name, item.annotation, item.value});
    return std::make_tuple(py::arg_v(item.name, item.value));
  } else if constexpr (std::is_same_v<D, Returns>) {
    d.returns = item.annotation;
    return std::tuple<>();
  } else if constexpr (std::is_same_v<D, py::arg_v>) {
    d.parameters.push_back({item.name, nullptr, item.value});
    return std::make_tuple(py::arg_v(item));
  } else if constexpr (std::is_same_v<D, py::arg>) {
    d.parameters.push_back({item.name, nullptr, py::object()});
    return std::make_tuple(py::arg(item));
  } else {
    return std::tuple<D>(std::forward<T>(item));
  }
}

// A function object of the runtime's type around `fn`, named `name` in `qualname`'s owner.
py::object make_function(py::cpp_function fn, const char* name, const std::string& qualname,
                         const py::object& module_name, const char* doc, Declaration declaration);
std::string qualname_in(const py::object& cls, const char* name);

template <typename T>
constexpr bool is_parameter_v = std::is_same_v<std::decay_t<T>, Arg> || std::is_same_v<std::decay_t<T>, ArgDefault> ||
                                std::is_same_v<std::decay_t<T>, py::arg> || std::is_same_v<std::decay_t<T>, py::arg_v>;

template <bool Method, typename F, typename... Extra>
py::object function(const char* name, const std::string& qualname, const py::object& module_name, F&& f,
                    const char* doc, Extra&&... extra) {
  Declaration d;
  if (Method) d.parameters.push_back({"self", nullptr, py::object()});
  // A braced list is evaluated in order: the parameters are recorded as declared.
  std::tuple<decltype(declare(d, std::forward<Extra>(extra)))...> items{declare(d, std::forward<Extra>(extra))...};
  auto pybind_items = std::apply([](auto&&... t) { return std::tuple_cat(std::move(t)...); }, std::move(items));
  // Named by its qualified name: pybind11 takes a function named __init__ for the constructor of
  // one of its own types.
  py::cpp_function fn = std::apply(
      [&](auto&&... e) {
        if constexpr (Method && (0 + ... + is_parameter_v<Extra>) > 0) {
          return py::cpp_function(std::forward<F>(f), py::name(qualname.c_str()), py::arg("self"),
                                  std::move(e)...);
        } else {
          return py::cpp_function(std::forward<F>(f), py::name(qualname.c_str()), std::move(e)...);
        }
      },
      std::move(pybind_items));
  return make_function(std::move(fn), name, qualname, module_name, doc, std::move(d));
}
}  // namespace runtime

// Attaches a C++ method to `cls`; `self` is bound like a Python method's. `doc` may be null.
// Returns the function as the class holds it: what resolves_to and calls_only compare with.
template <typename F, typename... Extra>
py::object def_method(const py::object& cls, const char* name, F&& f, const char* doc, Extra&&... extra) {
  py::object method = runtime::function<true>(name, runtime::qualname_in(cls, name), cls.attr("__module__"),
                                              std::forward<F>(f), doc, std::forward<Extra>(extra)...);
  py::setattr(cls, name, method);
  return method;
}

// A method carrying the TorchScript export mark (torch.jit.export).
void mark_exported(const py::object& cls, const char* name);
template <typename F, typename... Extra>
void def_exported_method(const py::object& cls, const char* name, F&& f, const char* doc,
                         Extra&&... extra) {
  def_method(cls, name, std::forward<F>(f), doc, std::forward<Extra>(extra)...);
  mark_exported(cls, name);
}

// A module-level function.
template <typename F, typename... Extra>
void def_function(py::module_& m, const char* name, F&& f, const char* doc, Extra&&... extra) {
  m.attr(name) = runtime::function<false>(name, name, m.attr("__name__"), std::forward<F>(f), doc,
                                          std::forward<Extra>(extra)...);
}

// ---------------------------------------------------------------------------------------------
// Records (data classes generated from one field table)

struct Field {
  const char* name;
  py::object type;           // a real type object: int, float, bool, str, typing.Optional[...]
  py::object default_value;  // ignored when `required`
  bool required = false;
};
inline Field required_field(const char* name, py::object type) {
  return Field{name, std::move(type), py::none(), true};
}
inline Field field(const char* name, py::object type, py::object default_value) {
  return Field{name, std::move(type), std::move(default_value), false};
}

// dataclasses.make_dataclass(name, fields, namespace=..., eq=True, repr=True), bound into `m`.
// `post_init`, when given, becomes __post_init__ (a C++ function taking the record).
py::object new_record(py::module_& m, const char* name, const char* doc,
                      const std::vector<Field>& fields, py::object post_init = py::none());

// typing helpers for field types.
py::object typing_attr(const char* name);  // typing.Optional, typing.List, ...

// ---------------------------------------------------------------------------------------------
// Argument conversion rules

// int: an int passes (bool too, being an int); another number is converted by int() and a float
// truncates; anything else, or a failed conversion (nan, inf), is a TypeError naming the argument.
int64_t arg_int(const py::handle& value, const char* name);
py::int_ arg_int_object(const py::handle& value, const char* name);
// int, exact: only an exact int passes unchanged; every other number (bool and int subclasses
// included) is converted by int(). Refusals as for arg_int.
py::int_ arg_exact_int(const py::handle& value, const char* name);
// float: any real number converted to a double; anything else is a TypeError.
double arg_float(const py::handle& value, const char* name);
// str: exactly str (subclasses and bytes are refused with a TypeError).
py::str arg_str(const py::handle& value, const char* name);
// dict: None or exactly dict (subclasses are refused), checked before any work.
py::object arg_dict_or_none(const py::handle& value, const char* name);
// tensor: a torch.Tensor (or subclass), else a TypeError.
at::Tensor arg_tensor(const py::handle& value, const char* name);
// The truth value, as bool(x); errors raised by the test propagate.
bool truth(const py::handle& value);

// "Argument '<name>' has incorrect type (expected <expected>, got <type of value>)".
[[noreturn]] void raise_arg_type(const char* name, const char* expected, const py::handle& value);

// Settings whose value cannot work (a zero divisor, a negative count, no heads) are refused where
// they are given. A setting that is a real number (int, float or bool) and fails the test is a
// ValueError "<name> must be <requirement>, got <repr(value)>"; a value of another type passes,
// left to the code that reads it.
enum class Need { Positive, NonNegative };
void require_setting(const py::handle& value, const char* name, Need need);
// The same message for a requirement the caller has tested itself.
[[noreturn]] void refuse_setting(const char* name, const char* requirement, const py::handle& value);

// Python's `a, b, ... = value` with `n` targets: ValueError on a count mismatch, TypeError for a
// value that is not iterable, with the interpreter's own messages.
std::vector<py::object> unpack(const py::handle& value, size_t n);
// `B, T, S = t.shape`: the sizes, or the interpreter's unpacking error for another rank.
std::vector<int64_t> unpack_shape(const at::Tensor& t, size_t n);
// The same two with the wording of compiled modules for a short count: "need more than 2 values
// to unpack" ("too many values to unpack (expected 3)" for a long one).
std::vector<py::object> unpack_counted(const py::handle& value, size_t n);
std::vector<int64_t> unpack_shape_counted(const at::Tensor& t, size_t n);

// Re-raise context: `raised` happened while `handled` was being handled (Python's __context__).
void set_context(const py::error_already_set& raised, const py::error_already_set& handled);

// The interned Python string for `name`, made once and kept for the life of the process
// (borrowed). An attribute or dictionary lookup with it skips making, hashing and freeing a new
// string, and an interned key is found by identity. Meant for names written in the source.
py::handle interned(const char* name);

// getattr(obj, name, None) that swallows only AttributeError.
py::object getattr_or_none(const py::handle& obj, const char* name);
// hasattr(obj, name) that swallows only AttributeError.
bool has_attr(const py::handle& obj, const char* name);

// ---------------------------------------------------------------------------------------------
// Tensors and module registries

inline py::object to_py(const at::Tensor& t) { return py::reinterpret_steal<py::object>(THPVariable_Wrap(t)); }
inline bool is_tensor(const py::handle& o) { return THPVariable_Check(o.ptr()); }
inline at::Tensor from_py(const py::handle& o) { return THPVariable_Unpack(o.ptr()); }

// Read from the module's own registries at each call: .to() replaces the objects behind them.
at::Tensor buffer(const py::handle& self, const char* name);
at::Tensor parameter(const py::handle& self, const char* name);
py::object child(const py::handle& self, const char* name);

// self.<name> for a module, as the interpreter gives it, without running nn.Module.__getattr__'s
// Python code where that is where the lookup ends: when the class keeps object's
// __getattribute__ and nn.Module's __getattr__, and neither the class (along its method
// resolution order) nor the instance dictionary holds the name, the value is read from the
// registries in __getattr__'s order (_parameters, _buffers, _modules). Anything else, and a name
// no registry holds, takes the ordinary lookup with its errors.
py::object module_attr(const py::handle& self, const char* name);
// getattr(self, name, None) for a module the same way: None, without raising through
// __getattr__, when neither the class, the instance dictionary nor a registry holds the name.
py::object module_attr_or_none(const py::handle& self, const char* name);

// self.register_buffer(name, tensor, persistent=...).
void register_buffer(const py::handle& self, const char* name, const at::Tensor& t,
                     bool persistent = true);
// self.name = nn.Parameter(t).
void register_parameter(const py::handle& self, const char* name, const at::Tensor& t);
// Assigns a child module, parameter or plain attribute through nn.Module.__setattr__.
void set_attr(const py::handle& self, const char* name, const py::object& value);

// The default floating dtype (torch.get_default_dtype()).
at::ScalarType default_dtype();

// Raises, with the tensor library's own messages, the error an in-place update of `target` by
// `operand` (target.add_(operand), target.copy_(operand), ...) would raise for its shape or dtype:
// lets an operation reject bad input before it changes any state.
void check_in_place(const at::Tensor& target, const at::Tensor& operand);

// Running statistics and carried state never take in a non-finite value: one bad chunk must
// not poison a model for good. `target` is set in place to `updated` where `value` is finite
// and keeps its own value elsewhere (`value` broadcasts to `target`; no host read).
void copy_if_finite(const at::Tensor& target, const at::Tensor& updated, const at::Tensor& value);

// A running average's step, target = target * keep + value * take, under copy_if_finite's rule
// (where value is not finite, target keeps its own value). With both zero-dimensional host scalars
// of one dtype (not sharing memory) it is taken on their numbers, op by op in that dtype as the
// tensor operations round, and written in place (the version bumped); otherwise by the tensor
// operations.
void blend_if_finite(const at::Tensor& target, double keep, const at::Tensor& value, double take);

// The mean over every row of the unbiased variance along the last dimension, detached: the value
// of t.var(-1, true, true).mean(). On the CPU it is taken in two passes over each row in double
// precision (the tensor library's variance along an inner dimension is many times slower than
// its memory traffic), elsewhere by the tensor library.
at::Tensor mean_row_variance(const at::Tensor& t);

// t on `device` with `dtype`: t itself when it is there already, else t.to(device, dtype).
inline at::Tensor converted(const at::Tensor& t, const at::Device& device, at::ScalarType dtype) {
  return t.device() == device && t.scalar_type() == dtype ? t : t.to(device, dtype);
}
inline at::Tensor converted(const at::Tensor& t, const at::Device& device) {
  return t.device() == device ? t : t.to(device);
}

// Whether calling `module` runs exactly torch.nn.<name>.forward of the class as torch defines it:
// the class itself (no subclass) with its own forward, nothing set on the instance under
// `forward`, no hook of its own or global, not compiled, and outside tracing. Callers may then
// run the forward's operations themselves.
bool plain_module(const py::handle& module, const char* name);

// Whether calling `module` runs exactly `forward` and nothing more: the module is of `type` itself
// (no subclass), whose __call__ is nn.Module's and whose `forward` resolves to `forward` (nothing
// set on the instance), with no hook of its own or global, not compiled, and outside tracing.
// Callers may then run that forward themselves.
bool calls_only(const py::handle& module, const py::handle& type, const py::handle& forward);

// A linear layer whose call is exactly torch.nn.functional.linear(x, weight, bias): an
// nn.Linear itself (no subclass, its class's own forward), with no hook of its own or global, no
// forward, weight or bias set on the instance, not compiled, and called outside tracing with a
// plain tensor (nothing that takes part in __torch_function__). Callers run such a layer as
// at::linear; any other module is called as it is, so replacements, hooks and patches keep
// working.
struct PlainLinear {
  bool plain = false;
  at::Tensor weight, bias;  // bias undefined for a layer without one
};
PlainLinear plain_linear(const py::handle& module, const py::handle& x);
// module(x): linear_rows for a plain linear layer, otherwise the module's own call.
py::object call_linear(const py::handle& module, const py::object& x);
// x [..., in] @ weight^T (+ bias) as at::linear computes it for a contiguous input of two or more
// dimensions: its rows folded into one product (addmm with a bias, mm without). No node of its own.
at::Tensor rows_linear(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias = at::Tensor());
// at::linear(x, weight, bias), the same numbers and gradients; under a graph, for a contiguous
// floating input of two or more dimensions, one autograd node rather than the composed form's
// reshape, transpose, product and unfold. Twice differentiable.
at::Tensor linear_rows(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias = at::Tensor());

// Values of one-element tensors read to the host together, as .item() would give them after a
// conversion to float64 (add_real) or int64 (add_integer). A value held in host memory is read
// where it lies, without any tensor operation; the others are gathered on the device of the first
// of them and copied to the host in one transfer. A tensor of other than one element is refused
// at add, with .item()'s error.
class HostScalars {
 public:
  size_t add_real(const at::Tensor& t) { return add(t, false); }
  size_t add_integer(const at::Tensor& t) { return add(t, true); }
  // Reads every value added so far; call once, after the last add.
  void fetch();
  double real(size_t slot) const { return reals_.at(slot).value; }
  int64_t integer(size_t slot) const { return integers_.at(slot).value; }

 private:
  template <typename V>
  struct Slot {
    V value = 0;
    at::Tensor pending;  // defined while the value waits for the device transfer
  };
  size_t add(const at::Tensor& t, bool integer);

  c10::optional<at::Device> device_;
  std::vector<Slot<double>> reals_;
  std::vector<Slot<int64_t>> integers_;
};

// Recurrent state carried from call to call, [rows, S].
//
// The carried state a call of `batch` rows starts from: the state as it is when it has one row
// (callers broadcast it) or `batch` rows; for any other batch size (the last, partial batch of
// an epoch, evaluation, generation with one row) a fresh zero start of one row, the state
// reset_sequence(0.0) leaves: a new batch size begins new sequences. A state the caller passes
// explicitly is never adapted; a mismatch there is the caller's error.
at::Tensor carried_start(const at::Tensor& carried, int64_t batch);
// The state to carry on from a call: the call's final state `next` [B, S], detached, with every
// row that holds a non-finite value replaced by that row of the state the call started from
// (`start`, [1, S] or [B, S]), so that a broken sequence cannot spoil the calls after it.
at::Tensor carried_next(const at::Tensor& next, const at::Tensor& start);
// The same for a call that integrated `input` [B or 1, T, S] with T > 0, and with each carried row
// no longer (in Euclidean length) than the longer of its start row and the longest input row of
// its sequence: a longer row is scaled down to that length, its direction kept. A recurrence whose
// gate stays within [-1, 1] never reaches beyond that length, so such a call carries on exactly
// its final state. A gate that grows with the carried state (a block's gate reads the state
// change against it) can drive the state past any input's scale from call to call; with the cap
// the state a call hands on is bounded by the largest input the sequence has seen.
at::Tensor carried_next(const at::Tensor& next, const at::Tensor& start, const at::Tensor& input);
// Refuses, with an IndexError, a chunk [B, T, S] (given by its shape) of length 0: a chunk is
// scored by its first time step. Callers check it before their first write.
void check_has_first_step(c10::IntArrayRef chunk);

// Whether `name` is set on the object itself (its instance dictionary), such as a method replaced
// on one instance.
bool set_on_instance(const py::handle& obj, const char* name);

// Whether `obj.<name>` is `function` bound to `obj`: the name is not set on the instance and the
// class resolves it (along its method resolution order) to `function` itself, not to an override
// in a subclass or a replacement on the class. Lets a method take a fast path for a step it would
// otherwise call through the instance.
bool resolves_to(const py::handle& obj, const char* name, const py::handle& function);

// A method as its class defines it (what def_method returned), kept so that a caller may run its
// C++ body directly while nothing stands in for it, under the profiler range a call through the
// attribute records. Kept for the life of the process, as the class is.
class OwnMethod {
 public:
  void keep(const py::object& cls, const char* name, const py::object& function);
  // Whether self.<name> is this very method (resolves_to).
  bool resolved_by(const py::handle& self) const {
    return function_ && resolves_to(self, name_, py::handle(function_));
  }
  // For a module's forward: whether calling `module` runs exactly this method (calls_only).
  bool called_by(const py::handle& module) const {
    return function_ && calls_only(module, py::handle(cls_), py::handle(function_));
  }
  // body() under the method's profiler range.
  template <typename F>
  auto run(F&& body) const {
    RECORD_FUNCTION(*profile_name_, std::vector<c10::IValue>());
    return body();
  }

 private:
  const char* name_ = nullptr;
  PyObject* cls_ = nullptr;
  PyObject* function_ = nullptr;
  const std::string* profile_name_ = nullptr;
};

// A tensor whose elements lie in host memory in their plain form (dense, strided, no lazy negation
// or conjugation, no Python dispatch or functionalisation wrapper), outside a trace being recorded
// (a trace records tensor operations only): readable through its data pointer.
bool readable_in_place(const at::Tensor& t);

// Scalar bookkeeping in C++. A host scalar is a zero-dimensional dense CPU tensor of `dtype` with
// a storage of its own kind (no Python dispatch, no wrapper), outside a trace being recorded: its
// one element is read through its data pointer.
bool is_host_scalar(const at::Tensor& t, at::ScalarType dtype);
// A host scalar that may also be written through its data pointer the way an in-place operation
// would write it: it takes no gradient and is not an inference tensor.
bool is_writable_host_scalar(const at::Tensor& t, at::ScalarType dtype);
// After a write through the data pointer: the version counter an in-place operation bumps, so that
// autograd still refuses a backward through a value saved before the write.
inline void mark_written(const at::Tensor& t) { t.unsafeGetTensorImpl()->bump_version(); }
// The one value of a tensor, as t.item<double>() and t.item<int64_t>() give it, and t.fill_(value):
// read through the data pointer for a one-element floating tensor in host memory (float, double,
// half, bfloat16) and a zero-dimensional int64 one, written so for a writable one-element tensor in
// host memory of a float, double or int64 dtype; anything else (and a value the dtype cannot hold)
// through the tensor operations.
double scalar_to_double(const at::Tensor& t);
int64_t scalar_to_int(const at::Tensor& t);
void fill_scalar(const at::Tensor& t, double value);
void fill_scalar(const at::Tensor& t, int64_t value);
// `value` as the operand an arithmetic operation on `like` makes of a number (a zero-dimensional
// host tensor of like's dtype holding the number converted to it), made directly: like.div_(
// number_like(like, v)) computes what like.div_(v) computes, without the operation's conversion of
// the number it wraps (four calls of the tensor library). A float or double `like`.
at::Tensor number_like(const at::Tensor& like, double value);
// Whether the elements of two contiguous tensors (host scalars) share memory: their byte ranges
// overlap.
bool shares_memory(const at::Tensor& a, const at::Tensor& b);

// A core that runs several blocks refuses, before the first of them runs, a call that any of
// them would refuse: block._check_forward(x, state, with_logits), for a block that has it, raises
// the error the block's forward would raise for that input and changes nothing (`with_logits`:
// the core then updates the block's global pressure from both heads' logits). A block whose
// forward_with_diagnostics is replaced on the instance is not checked.
void check_block_call(const py::object& block, const py::object& x, const py::object& state, bool with_logits);

// A table of buffers: one declaration drives registration order, dtypes, shapes, initial values
// and named access. Shapes are scalar, a vector of `width` or a `width` x `width` matrix.
enum class DType { Default, Float32, Int64, Int32 };
enum class Shape { Scalar, Vector, Matrix };
struct BufferSpec {
  const char* name;
  DType dtype;
  double initial;
  Shape shape = Shape::Scalar;
  bool persistent = true;
};
void register_buffers(const py::handle& self, const BufferSpec* specs, size_t count,
                      int64_t width);

// A per-call view of a module's buffers, indexed by a table's enum. It holds the registry dict,
// never tensors: each access fetches the current object.
class BufferView {
 public:
  BufferView(const py::handle& self, const BufferSpec* specs) : buffers_(self.attr(interned("_buffers"))), specs_(specs) {}
  template <typename E>
  at::Tensor operator[](E index) const { return get(static_cast<size_t>(index)); }
  at::Tensor get(size_t index) const;
  py::object object(size_t index) const;

 private:
  py::object buffers_;
  const BufferSpec* specs_;
};

}  // namespace kestrel
