// configure(config): a tracer from the keys "tenant_id", "endpoint" and
// "enable_security" of a dict.
#include "configure.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "tracer.hpp"

namespace korvanta::py {
namespace {

// The entry stored under `key`, looked up directly in the dict (never through
// a subclass's __getitem__ or __missing__); an empty Ref when there is none.
Result<Ref> dict_entry(PyObject* dict, const char* key) {
  Ref key_obj = Ref::steal(PyUnicode_FromString(key));
  if (!key_obj) return Error::fetch();
  // Borrowed from the dict; held while later lookups may run Python code.
  Ref value = Ref::borrow(PyDict_GetItemWithError(dict, key_obj.get()));
  if (!value && PyErr_Occurred()) return Error::fetch();
  return value;
}

// Converts a present entry; values are not arguments, so errors keep their
// plain conversion message.
template <auto Convert>
auto convert_entry(const Ref& value) -> Result<std::optional<std::remove_cvref_t<decltype(*Convert(nullptr))>>> {
  using Value = std::remove_cvref_t<decltype(*Convert(nullptr))>;
  if (!value) return std::optional<Value>();
  auto converted = Convert(value.get());
  if (!converted) return std::move(converted).error();
  return std::optional<Value>(std::move(*converted));
}

}  // namespace

const char kConfigureDoc[] =
    "configure(config)\n--\n\n"
    "Configure and create an :class:`DURUraTracer` from a Python dictionary.\n\n"
    "Supported keys:\n"
    "  - ``tenant_id`` (str): UUID string for the tenant.\n"
    "  - ``endpoint`` (str): Collector endpoint URL.\n"
    "  - ``enable_security`` (bool): Enable security analysis.\n\n"
    "Returns:\n"
    "    A configured :class:`DURUraTracer`.";

Result<Ref> configure(PyObject*, const Args<signatures::configure>& args) {
  PyObject* config = args[0];
  if (!PyDict_Check(config)) return rewrap_argument(conversion_error(config, "PyDict"), "config");

  // Each key is looked up and converted in turn; the tenant text is parsed
  // only after all three, so a type error wins over an invalid identifier.
  auto tenant_entry = dict_entry(config, "tenant_id");
  if (!tenant_entry) return std::move(tenant_entry).error();
  auto tenant_id = convert_entry<as_text>(*tenant_entry);
  if (!tenant_id) return std::move(tenant_id).error();

  auto endpoint_entry = dict_entry(config, "endpoint");
  if (!endpoint_entry) return std::move(endpoint_entry).error();
  auto endpoint = convert_entry<as_text>(*endpoint_entry);
  if (!endpoint) return std::move(endpoint).error();

  auto security_entry = dict_entry(config, "enable_security");
  if (!security_entry) return std::move(security_entry).error();
  auto enable_security = convert_entry<as_bool>(*security_entry);
  if (!enable_security) return std::move(enable_security).error();

  auto record = build_tracer(*tenant_id, *endpoint, *enable_security);
  if (!record) return std::move(record).error();
  return new_tracer_object(std::move(*record));
}

}  // namespace korvanta::py
