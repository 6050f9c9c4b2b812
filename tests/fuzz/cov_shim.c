/* Routes the coverage callbacks of atheris back to the libFuzzer inside atheris.
 *
 * The sanitizer run preloads GCC's libasan, which exports no-op definitions of the
 * __sanitizer_cov_* callbacks. Being first in the lookup order, they would capture every
 * call that atheris makes to register its Python coverage counters and to report
 * comparisons, and libFuzzer would never see any coverage. This library is preloaded
 * ahead of libasan (ASAN_OPTIONS=verify_asan_link_order=0): its definitions win, and once
 * kelmora_cov_shim_bind() has been called with atheris's core module they jump to the
 * definitions of that module. Before binding every callback is a no-op, as in libasan.
 * It defines no allocator function, so libasan still intercepts all of them.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>

typedef void (*counters_init_fn)(uint8_t*, uint8_t*);
typedef void (*pcs_init_fn)(const uintptr_t*, const uintptr_t*);
typedef void (*cmp1_fn)(uint8_t, uint8_t);
typedef void (*cmp2_fn)(uint16_t, uint16_t);
typedef void (*cmp4_fn)(uint32_t, uint32_t);
typedef void (*cmp8_fn)(uint64_t, uint64_t);
typedef void (*div4_fn)(uint32_t);
typedef void (*div8_fn)(uint64_t);
typedef void (*gep_fn)(uintptr_t);
typedef void (*switch_fn)(uint64_t, uint64_t*);
typedef void (*memcmp_hook_fn)(void*, const void*, const void*, size_t, int);
typedef void (*strncmp_hook_fn)(void*, const char*, const char*, size_t, int);
typedef void (*strcmp_hook_fn)(void*, const char*, const char*, int);
typedef void (*strstr_hook_fn)(void*, const char*, const char*, char*);
typedef void (*memmem_hook_fn)(void*, const void*, size_t, const void*, size_t, void*);

static counters_init_fn p_counters_init;
static pcs_init_fn p_pcs_init;
static cmp1_fn p_cmp1, p_const_cmp1;
static cmp2_fn p_cmp2, p_const_cmp2;
static cmp4_fn p_cmp4, p_const_cmp4;
static cmp8_fn p_cmp8, p_const_cmp8;
static div4_fn p_div4;
static div8_fn p_div8;
static gep_fn p_gep;
static switch_fn p_switch;
static memcmp_hook_fn p_memcmp;
static strncmp_hook_fn p_strncmp, p_strncasecmp;
static strcmp_hook_fn p_strcmp, p_strcasecmp;
static strstr_hook_fn p_strstr, p_strcasestr;
static memmem_hook_fn p_memmem;

#define LOOKUP(handle, slot, name) (*(void**)&(slot) = dlsym((handle), (name)))

/* Binds every callback to the definitions of the shared object at `path` (atheris's
 * core_with_libfuzzer module, already loaded). Returns the number of callbacks bound. */
__attribute__((visibility("default"))) int kelmora_cov_shim_bind(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == NULL) return 0;
    int bound = 0;
    bound += LOOKUP(handle, p_counters_init, "__sanitizer_cov_8bit_counters_init") != NULL;
    bound += LOOKUP(handle, p_pcs_init, "__sanitizer_cov_pcs_init") != NULL;
    bound += LOOKUP(handle, p_cmp1, "__sanitizer_cov_trace_cmp1") != NULL;
    bound += LOOKUP(handle, p_cmp2, "__sanitizer_cov_trace_cmp2") != NULL;
    bound += LOOKUP(handle, p_cmp4, "__sanitizer_cov_trace_cmp4") != NULL;
    bound += LOOKUP(handle, p_cmp8, "__sanitizer_cov_trace_cmp8") != NULL;
    bound += LOOKUP(handle, p_const_cmp1, "__sanitizer_cov_trace_const_cmp1") != NULL;
    bound += LOOKUP(handle, p_const_cmp2, "__sanitizer_cov_trace_const_cmp2") != NULL;
    bound += LOOKUP(handle, p_const_cmp4, "__sanitizer_cov_trace_const_cmp4") != NULL;
    bound += LOOKUP(handle, p_const_cmp8, "__sanitizer_cov_trace_const_cmp8") != NULL;
    bound += LOOKUP(handle, p_div4, "__sanitizer_cov_trace_div4") != NULL;
    bound += LOOKUP(handle, p_div8, "__sanitizer_cov_trace_div8") != NULL;
    bound += LOOKUP(handle, p_gep, "__sanitizer_cov_trace_gep") != NULL;
    bound += LOOKUP(handle, p_switch, "__sanitizer_cov_trace_switch") != NULL;
    bound += LOOKUP(handle, p_memcmp, "__sanitizer_weak_hook_memcmp") != NULL;
    bound += LOOKUP(handle, p_strncmp, "__sanitizer_weak_hook_strncmp") != NULL;
    bound += LOOKUP(handle, p_strncasecmp, "__sanitizer_weak_hook_strncasecmp") != NULL;
    bound += LOOKUP(handle, p_strcmp, "__sanitizer_weak_hook_strcmp") != NULL;
    bound += LOOKUP(handle, p_strcasecmp, "__sanitizer_weak_hook_strcasecmp") != NULL;
    bound += LOOKUP(handle, p_strstr, "__sanitizer_weak_hook_strstr") != NULL;
    bound += LOOKUP(handle, p_strcasestr, "__sanitizer_weak_hook_strcasestr") != NULL;
    bound += LOOKUP(handle, p_memmem, "__sanitizer_weak_hook_memmem") != NULL;
    dlclose(handle);  /* drops only the reference taken above; the module stays loaded */
    return bound;
}

/* Each callback is a plain tail call, so that libFuzzer still sees the original caller's
 * return address (it keys comparison features by caller). */
#define EXPORT __attribute__((visibility("default")))

EXPORT void __sanitizer_cov_8bit_counters_init(uint8_t* a, uint8_t* b) {
    if (p_counters_init) p_counters_init(a, b);
}
EXPORT void __sanitizer_cov_pcs_init(const uintptr_t* a, const uintptr_t* b) {
    if (p_pcs_init) p_pcs_init(a, b);
}
EXPORT void __sanitizer_cov_trace_cmp1(uint8_t a, uint8_t b) { if (p_cmp1) p_cmp1(a, b); }
EXPORT void __sanitizer_cov_trace_cmp2(uint16_t a, uint16_t b) { if (p_cmp2) p_cmp2(a, b); }
EXPORT void __sanitizer_cov_trace_cmp4(uint32_t a, uint32_t b) { if (p_cmp4) p_cmp4(a, b); }
EXPORT void __sanitizer_cov_trace_cmp8(uint64_t a, uint64_t b) { if (p_cmp8) p_cmp8(a, b); }
EXPORT void __sanitizer_cov_trace_const_cmp1(uint8_t a, uint8_t b) { if (p_const_cmp1) p_const_cmp1(a, b); }
EXPORT void __sanitizer_cov_trace_const_cmp2(uint16_t a, uint16_t b) { if (p_const_cmp2) p_const_cmp2(a, b); }
EXPORT void __sanitizer_cov_trace_const_cmp4(uint32_t a, uint32_t b) { if (p_const_cmp4) p_const_cmp4(a, b); }
EXPORT void __sanitizer_cov_trace_const_cmp8(uint64_t a, uint64_t b) { if (p_const_cmp8) p_const_cmp8(a, b); }
EXPORT void __sanitizer_cov_trace_div4(uint32_t v) { if (p_div4) p_div4(v); }
EXPORT void __sanitizer_cov_trace_div8(uint64_t v) { if (p_div8) p_div8(v); }
EXPORT void __sanitizer_cov_trace_gep(uintptr_t v) { if (p_gep) p_gep(v); }
EXPORT void __sanitizer_cov_trace_switch(uint64_t v, uint64_t* cases) { if (p_switch) p_switch(v, cases); }
/* Uninstrumented code never calls these three; they exist only to shadow libasan's. */
EXPORT void __sanitizer_cov_trace_pc_guard(uint32_t* guard) { (void)guard; }
EXPORT void __sanitizer_cov_trace_pc_guard_init(uint32_t* a, uint32_t* b) { (void)a; (void)b; }
EXPORT void __sanitizer_cov_trace_pc_indir(uintptr_t v) { (void)v; }
EXPORT void __sanitizer_weak_hook_memcmp(void* pc, const void* a, const void* b, size_t n, int r) {
    if (p_memcmp) p_memcmp(pc, a, b, n, r);
}
EXPORT void __sanitizer_weak_hook_strncmp(void* pc, const char* a, const char* b, size_t n, int r) {
    if (p_strncmp) p_strncmp(pc, a, b, n, r);
}
EXPORT void __sanitizer_weak_hook_strncasecmp(void* pc, const char* a, const char* b, size_t n, int r) {
    if (p_strncasecmp) p_strncasecmp(pc, a, b, n, r);
}
EXPORT void __sanitizer_weak_hook_strcmp(void* pc, const char* a, const char* b, int r) {
    if (p_strcmp) p_strcmp(pc, a, b, r);
}
EXPORT void __sanitizer_weak_hook_strcasecmp(void* pc, const char* a, const char* b, int r) {
    if (p_strcasecmp) p_strcasecmp(pc, a, b, r);
}
EXPORT void __sanitizer_weak_hook_strstr(void* pc, const char* a, const char* b, char* r) {
    if (p_strstr) p_strstr(pc, a, b, r);
}
EXPORT void __sanitizer_weak_hook_strcasestr(void* pc, const char* a, const char* b, char* r) {
    if (p_strcasestr) p_strcasestr(pc, a, b, r);
}
EXPORT void __sanitizer_weak_hook_memmem(void* pc, const void* a, size_t n, const void* b, size_t m, void* r) {
    if (p_memmem) p_memmem(pc, a, n, b, m, r);
}
