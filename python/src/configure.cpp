// configure(config): a tracer from the keys "tenant_id", "endpoint" and
// "enable_security" of a dict.
#include "configure.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "entry.hpp"
#include "tracer.hpp"

namespace korvanta::py {
namespace {

// The entry stored under `key`, looked up directly in the dict (never through
// a subclass's __getitem__ or __missing__); an empty Ref when there is none.
Ref dict_entry(PyObject* dict, const char* key) {
  Ref key_obj = checked(PyUnicode_FromString(key));
  // Borrowed from the dict; held while later lookups may run Python code.
  Ref value = Ref::borrow(PyDict_GetItemWithError(dict, key_obj.get()));
  raise_if(!value && PyErr_Occurred());
  return value;
}

// Converts a present entry; values are not arguments, so errors keep their
// plain conversion message.
template <auto Convert>
auto convert_entry(const Ref& value) -> std::optional<decltype(Convert(nullptr))> {
  if (!value) return std::nullopt;
  return Convert(value.get());
}

constexpr auto kConfigure = describe("", "configure", Receiver::none, {{"config"}});
constexpr char kConfigureDoc[] =
    "Configure and create an :class:`DURUraTracer` from a Python dictionary.\n\n"
    "Supported keys:\n"
    "  - ``tenant_id`` (str): UUID string for the tenant.\n"
    "  - ``endpoint`` (str): Collector endpoint URL.\n"
    "  - ``enable_security`` (bool): Enable security analysis.\n\n"
    "Returns:\n"
    "    A configured :class:`DURUraTracer`.";

Ref configure(PyObject*, const Args<kConfigure>& args) {
  PyObject* config = args[0];
  if (!PyDict_Check(config)) raise(rewrap_argument(conversion_error(config, "PyDict"), args.name<0>()));

  // Each key is looked up and converted in turn; the tenant text is parsed
  // only after all three, so a type error wins over an invalid identifier.
  auto tenant_entry = dict_entry(config, "tenant_id");
  auto tenant_id = convert_entry<as_text>(tenant_entry);

  auto endpoint_entry = dict_entry(config, "endpoint");
  auto endpoint = convert_entry<as_text>(endpoint_entry);

  auto security_entry = dict_entry(config, "enable_security");
  auto enable_security = convert_entry<as_bool>(security_entry);

  auto record = build_tracer(tenant_id, endpoint, enable_security);
  return new_tracer_object(std::move(record));
}

}  // namespace

PyMethodDef configure_method = fastcall_method<kConfigure, configure, kConfigureDoc>();

}  // namespace korvanta::py
