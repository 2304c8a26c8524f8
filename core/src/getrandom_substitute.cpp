// Finding a stand-in for the C library's getrandom by asking the dynamic
// linker where the name resolves, and, behind a sanitizer's interceptor,
// which other loaded object defines it.
#include "getrandom_substitute.hpp"

#include <dlfcn.h>
#include <gnu/lib-names.h>
#include <link.h>
#include <sys/auxv.h>

#include <array>
#include <cstdint>

namespace korvanta::detail {
namespace {

constexpr const char* kName = "getrandom";

// The names under which the sanitizer runtimes (gcc's, and clang's before and
// since version 17) define their interceptor; `getrandom` is an alias of it.
constexpr std::array<const char*, 3> kInterceptorNames = {
    "__interceptor_getrandom", "___interceptor_getrandom", "__interceptor_trampoline_getrandom"};

// Whether `definition`, found through `handle`, is a sanitizer's interceptor,
// which checks the buffer and forwards to the next definition.
bool is_interceptor(void* handle, void* definition) {
  for (const char* name : kInterceptorNames) {
    if (::dlsym(handle, name) == definition) return true;
  }
  return false;
}

// Whether `definition` lies in the kernel's own image, which defines
// getrandom as an alias of its entry but is never searched for symbols.
bool in_vdso(void* definition) {
  Dl_info info{};
  return ::dladdr(definition, &info) != 0 &&
         reinterpret_cast<std::uintptr_t>(info.dli_fbase) == ::getauxval(AT_SYSINFO_EHDR);
}

// Whether an object loaded besides the C library defines getrandom other
// than as an interceptor: the definition an interceptor forwards to.
bool defined_elsewhere(void* libc_definition) {
  void* main = ::dlopen(nullptr, RTLD_LAZY);
  link_map* map = nullptr;
  const bool listed = main != nullptr && ::dlinfo(main, RTLD_DI_LINKMAP, &map) == 0;
  if (main != nullptr) ::dlclose(main);
  if (!listed) return true;
  // The executable (empty name) comes first in lookup order, so its own
  // definition would have been the one found, not an interceptor.
  for (; map != nullptr; map = map->l_next) {
    if (map->l_name == nullptr || map->l_name[0] == '\0') continue;
    void* handle = ::dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) continue;
    void* definition = ::dlsym(handle, kName);
    const bool other = definition != nullptr && definition != libc_definition &&
                       !is_interceptor(handle, definition) && !in_vdso(definition);
    ::dlclose(handle);
    if (other) return true;
  }
  return false;
}

}  // namespace

bool getrandom_substituted() noexcept {
  void* libc = ::dlopen(LIBC_SO, RTLD_LAZY | RTLD_NOLOAD);
  if (libc == nullptr) return true;
  void* libc_definition = ::dlsym(libc, kName);
  ::dlclose(libc);
  if (libc_definition == nullptr) return true;
  void* reached = ::dlsym(RTLD_DEFAULT, kName);
  if (reached == libc_definition) return false;
  if (!is_interceptor(RTLD_DEFAULT, reached)) return true;
  return defined_elsewhere(libc_definition);
}

}  // namespace korvanta::detail
