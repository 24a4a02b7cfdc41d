/* Preloaded ahead of the sanitizer runtime for fuzzing (tools/reliability.sh
 * fuzz).  GCC's AddressSanitizer runtime defines the coverage callbacks
 * (__sanitizer_cov_*) as empty functions, and a preloaded runtime comes
 * first in symbol lookup, so atheris's calls that hand its Python coverage
 * counters to its libFuzzer would land in those empty functions and the
 * fuzzer would run blind.  This library comes first instead and forwards each
 * callback to the definition inside atheris's own module, named by
 * ATHERIS_CORE. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>

static void *core(const char *name) {
  static void *handle;
  if (handle == NULL) {
    const char *path = getenv("ATHERIS_CORE");
    if (path != NULL) {
      handle = dlopen(path, RTLD_NOLOAD | RTLD_LAZY);
    }
  }
  return handle != NULL ? dlsym(handle, name) : NULL;
}

#define FORWARD(name, T1, T2)                         \
  void name(T1 a, T2 b) {                             \
    static void (*f)(T1, T2);                         \
    if (f == NULL) f = (void (*)(T1, T2))core(#name); \
    if (f != NULL) f(a, b);                           \
  }

FORWARD(__sanitizer_cov_8bit_counters_init, uint8_t *, uint8_t *)
FORWARD(__sanitizer_cov_pcs_init, const uintptr_t *, const uintptr_t *)
FORWARD(__sanitizer_cov_trace_cmp1, uint8_t, uint8_t)
FORWARD(__sanitizer_cov_trace_cmp2, uint16_t, uint16_t)
FORWARD(__sanitizer_cov_trace_cmp4, uint32_t, uint32_t)
FORWARD(__sanitizer_cov_trace_cmp8, uint64_t, uint64_t)
FORWARD(__sanitizer_cov_trace_const_cmp1, uint8_t, uint8_t)
FORWARD(__sanitizer_cov_trace_const_cmp2, uint16_t, uint16_t)
FORWARD(__sanitizer_cov_trace_const_cmp4, uint32_t, uint32_t)
FORWARD(__sanitizer_cov_trace_const_cmp8, uint64_t, uint64_t)
FORWARD(__sanitizer_cov_trace_switch, uint64_t, uint64_t *)
