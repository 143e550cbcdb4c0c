// Imports between the modules of the package, and the recurrent-state argument of the cores.
#pragma once

#include "runtime/runtime.h"

#include <initializer_list>
#include <vector>

namespace kestrel __attribute__((visibility("default"))) {

// __import__(name, globals of `m`, fromlist=names, level=level): the module named by `name` (the
// leaf), with the interpreter's own ImportError for a module that cannot be found or a relative
// import without a parent package. Level 0 is an absolute import.
py::object import_module_level(const py::module_& m, const char* name, int level,
                               std::initializer_list<const char*> fromlist);

// The attribute `name` of an imported module as `from <module> import <name>` takes it: a
// missing one is an ImportError "cannot import name ..." naming the module and its file.
py::object imported_name(const py::object& source, const char* name);

// `from <dots><relative> import <names>` seen from `m`; on ImportError once more as
// `from <absolute> import <names>`. Returns the values in order and binds nothing. An error of the
// second attempt carries the first one as its context, as an error raised in an except block does.
std::vector<py::object> import_names_or_absolute(const py::module_& m, const char* relative, int level,
                                                 const char* absolute,
                                                 std::initializer_list<const char*> names);

// A recurrent-state argument: None or an object whose type is exactly dict, checked before any
// work. Anything else is refused with "Argument '<name>' has incorrect type (expected dict, got
// <type>)"; for an instance of a dict subclass the TypeError carries a note saying so.
py::object arg_state(const py::handle& value, const char* name);

}  // namespace kestrel
