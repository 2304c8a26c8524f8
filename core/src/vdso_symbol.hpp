// Looking up a function in the shared object the kernel maps into every
// process (the vDSO), through its ELF dynamic symbol table.
#pragma once

#include <string_view>

namespace korvanta::detail {

// Address of the vDSO's function `name` at symbol version `version` (as
// "LINUX_2.6"), or nullptr when the process has no vDSO, the vDSO does not
// define that function, or its ELF tables are not laid out as expected.
// Example: vdso_symbol("__vdso_getrandom", "LINUX_2.6").
void* vdso_symbol(std::string_view name, std::string_view version) noexcept;

}  // namespace korvanta::detail
