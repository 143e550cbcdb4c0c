// Calls and assignments on modules that skip nn.Module's Python frames where those frames would
// do nothing but the one step taken here.
#pragma once

#include "runtime/runtime.h"

namespace kestrel __attribute__((visibility("default"))) {

// module(x): for a module whose call runs nothing but the forward its class resolves (calls_only:
// nn.Module's __call__, no hook of its own or global, no forward set on the instance, not
// compiled, outside tracing), module.forward(x) itself, the same call without the frame of
// nn.Module.__call__; the module's own call otherwise.
py::object call_module(const py::object& module, const py::object& x);

// self.<name> = value for a registered buffer: where nn.Module.__setattr__ would only store a
// plain tensor in the buffer registry (the class keeps nn.Module's __setattr__ and
// register_buffer, nothing set on the instance under register_buffer, the name is a buffer and
// neither a parameter nor a child module, the value an exact torch.Tensor, no global buffer
// registration hook), the registry entry is written directly; through __setattr__ otherwise.
void set_buffer_attr(const py::handle& self, const char* name, const py::object& value);

}  // namespace kestrel
