// One pool of compute threads per process.
//
// Debian's torch runs its own operations on an OpenMP team and its matrix products in OpenBLAS,
// whose pthreads pool is sized to every core independently of that team. The two pools then
// oversubscribe the cores as soon as elementwise work and matrix products alternate, as they do
// in every block, and each side spins waiting for threads the other has descheduled: a training
// step runs several times slower. Capping OpenBLAS at torch's intra-op thread count removes the
// contention. An explicit OPENBLAS_NUM_THREADS (or GOTO_NUM_THREADS) is left alone.
#include "runtime/runtime.h"

#include <ATen/Parallel.h>
#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace kestrel::runtime {

void align_blas_threads() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (std::getenv("OPENBLAS_NUM_THREADS") || std::getenv("GOTO_NUM_THREADS")) return;
    using Get = int (*)();
    using Set = void (*)(int);
    for (const char* lib : {"libblas.so.3", "libopenblas.so.0"}) {
      void* handle = dlopen(lib, RTLD_LAZY | RTLD_NOLOAD);
      if (!handle) continue;
      auto get = reinterpret_cast<Get>(dlsym(handle, "openblas_get_num_threads"));
      auto set = reinterpret_cast<Set>(dlsym(handle, "openblas_set_num_threads"));
      const int team = at::get_num_threads();
      if (get && set && team > 0 && get() > team) set(team);
      dlclose(handle);
      if (get && set) return;
    }
  });
}

}  // namespace kestrel::runtime
