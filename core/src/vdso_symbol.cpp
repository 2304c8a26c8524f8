// The vDSO's dynamic symbols, read the way the dynamic linker would: the
// image is already mapped, so its tables are found through PT_DYNAMIC and
// matched by name, binding and version. Anything unexpected means "no such
// function" and the caller keeps its ordinary path.
#include "vdso_symbol.hpp"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

#include <cstdint>
#include <cstring>

namespace korvanta::detail {
namespace {

using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);
using Dyn = ElfW(Dyn);
using Sym = ElfW(Sym);

constexpr unsigned char kNativeClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

// The tables of the mapped image, as addresses in this process.
struct Tables {
  const Sym* symbols = nullptr;
  const char* strings = nullptr;
  const Elf32_Word* sysv_hash = nullptr;
  const Elf32_Word* gnu_hash = nullptr;
  const ElfW(Versym)* versions = nullptr;
  const ElfW(Verdef)* version_defs = nullptr;
};

// Number of dynamic symbols. The classic hash table states it; the GNU one
// only implies it: the highest bucket start, then that chain to its end mark.
std::size_t symbol_count(const Tables& t) {
  if (t.sysv_hash != nullptr) return t.sysv_hash[1];
  if (t.gnu_hash == nullptr) return 0;
  const Elf32_Word buckets = t.gnu_hash[0];
  const Elf32_Word first = t.gnu_hash[1];
  const Elf32_Word bloom_words = t.gnu_hash[2];
  const auto* bucket = reinterpret_cast<const Elf32_Word*>(
      reinterpret_cast<const ElfW(Addr)*>(t.gnu_hash + 4) + bloom_words);
  const Elf32_Word* chain = bucket + buckets;
  Elf32_Word last = 0;
  for (Elf32_Word b = 0; b < buckets; ++b) last = bucket[b] > last ? bucket[b] : last;
  if (last < first) return first;
  while ((chain[last - first] & 1) == 0) ++last;
  return std::size_t{last} + 1;
}

// Whether symbol `index` carries version `version`. An image without version
// tables accepts any version, as the dynamic linker does.
bool has_version(const Tables& t, std::size_t index, std::string_view version) {
  if (t.versions == nullptr || t.version_defs == nullptr) return true;
  const unsigned wanted = t.versions[index] & 0x7fff;
  const ElfW(Verdef)* def = t.version_defs;
  for (;;) {
    if ((def->vd_flags & VER_FLG_BASE) == 0 && (def->vd_ndx & 0x7fff) == wanted) {
      const auto* aux = reinterpret_cast<const ElfW(Verdaux)*>(reinterpret_cast<const char*>(def) + def->vd_aux);
      return version == t.strings + aux->vda_name;
    }
    if (def->vd_next == 0) return false;
    def = reinterpret_cast<const ElfW(Verdef)*>(reinterpret_cast<const char*>(def) + def->vd_next);
  }
}

}  // namespace

void* vdso_symbol(std::string_view name, std::string_view version) noexcept {
  const std::uintptr_t base = getauxval(AT_SYSINFO_EHDR);
  if (base == 0) return nullptr;
  const auto* header = reinterpret_cast<const Ehdr*>(base);
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != kNativeClass ||
      header->e_phentsize != sizeof(Phdr)) {
    return nullptr;
  }

  // Link-time addresses in the image become addresses here by this bias,
  // taken from the (single) loadable segment.
  std::uintptr_t bias = 0;
  bool loaded = false;
  const Dyn* dynamic = nullptr;
  const auto* segments = reinterpret_cast<const Phdr*>(base + header->e_phoff);
  for (std::size_t i = 0; i < header->e_phnum; ++i) {
    if (segments[i].p_type == PT_LOAD && !loaded) {
      bias = base + segments[i].p_offset - segments[i].p_vaddr;
      loaded = true;
    } else if (segments[i].p_type == PT_DYNAMIC) {
      dynamic = reinterpret_cast<const Dyn*>(base + segments[i].p_offset);
    }
  }
  if (!loaded || dynamic == nullptr) return nullptr;

  Tables t;
  for (const Dyn* d = dynamic; d->d_tag != DT_NULL; ++d) {
    const std::uintptr_t at = bias + d->d_un.d_ptr;
    switch (d->d_tag) {
      case DT_SYMTAB: t.symbols = reinterpret_cast<const Sym*>(at); break;
      case DT_STRTAB: t.strings = reinterpret_cast<const char*>(at); break;
      case DT_HASH: t.sysv_hash = reinterpret_cast<const Elf32_Word*>(at); break;
      case DT_GNU_HASH: t.gnu_hash = reinterpret_cast<const Elf32_Word*>(at); break;
      case DT_VERSYM: t.versions = reinterpret_cast<const ElfW(Versym)*>(at); break;
      case DT_VERDEF: t.version_defs = reinterpret_cast<const ElfW(Verdef)*>(at); break;
      default: break;
    }
  }
  if (t.symbols == nullptr || t.strings == nullptr) return nullptr;

  const std::size_t count = symbol_count(t);
  for (std::size_t i = 0; i < count; ++i) {
    const Sym& sym = t.symbols[i];
    const unsigned bind = ELF64_ST_BIND(sym.st_info);
    if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || (bind != STB_GLOBAL && bind != STB_WEAK) ||
        sym.st_shndx == SHN_UNDEF || name != t.strings + sym.st_name || !has_version(t, i, version)) {
      continue;
    }
    return reinterpret_cast<void*>(bias + sym.st_value);
  }
  return nullptr;
}

}  // namespace korvanta::detail
