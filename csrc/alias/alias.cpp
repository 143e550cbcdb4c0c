// A second file name for an extension module of the package, for trees that cannot hold links
// (an installed package): it loads the module's own shared object, so that there is one loaded
// image and hence one module, and hands the import over to that image's initialisation.
#include <Python.h>
#include <dlfcn.h>

#include <string>

#define KESTREL_JOIN(a, b) a##b
#define KESTREL_INIT(name) KESTREL_JOIN(PyInit_, name)
#define KESTREL_TEXT(x) #x
#define KESTREL_STRING(x) KESTREL_TEXT(x)

extern "C" __attribute__((visibility("default"))) PyObject* KESTREL_INIT(KESTREL_ALIAS_NAME)() {
  Dl_info self{};
  if (!dladdr(reinterpret_cast<void*>(&KESTREL_INIT(KESTREL_ALIAS_NAME)), &self) || !self.dli_fname) {
    PyErr_SetString(PyExc_ImportError, "cannot locate the module's own file");
    return nullptr;
  }
  std::string path(self.dli_fname);
  path = path.substr(0, path.rfind('/') + 1) + KESTREL_ALIAS_TARGET;
  void* image = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!image) {
    PyErr_SetString(PyExc_ImportError, dlerror());
    return nullptr;
  }
  using Init = PyObject* (*)();
  auto init = reinterpret_cast<Init>(dlsym(image, "PyInit_" KESTREL_STRING(KESTREL_ALIAS_NAME)));
  if (!init) {
    PyErr_SetString(PyExc_ImportError, dlerror());
    return nullptr;
  }
  return init();
}
