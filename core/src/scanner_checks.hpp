// Pure checks that the scanner's rules run on a candidate once its shape is
// right: checksums (Luhn, IBAN), card issuer ranges, randomness of a value,
// base64url decoding, IP address parsing and telephone country codes. Each
// is linear in its (bounded) input and never reads outside it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvanta::scanner_detail {

// Luhn checksum over a string of ASCII digits.
bool luhn_valid(std::string_view digits) noexcept;
// Whether 12 to 19 digits are a plausible card number: an issuer range of
// Visa, Mastercard, American Express, Discover, JCB, Diners Club or
// UnionPay, with a length that issuer uses, and not one digit repeated.
bool plausible_card(std::string_view digits) noexcept;

// The IBAN length of the country with this ISO 3166 code, 0 for countries
// without IBANs.
std::size_t iban_length(char a, char b) noexcept;
// The ISO 13616 mod-97 check of a compact IBAN (upper-case letters and
// digits, 5 to 34 of them).
bool iban_checksum_ok(std::string_view compact) noexcept;

// Shannon entropy of the bytes, in bits per byte.
double shannon_entropy(std::string_view value) noexcept;
// Whether a value assigned to a secret-sounding name looks like a real
// secret rather than a word, a placeholder, a reference or an identifier:
// 10 to 256 bytes without whitespace, varied character classes, high
// entropy for its length, few dictionary-like letter runs, no template
// syntax, not a UUID. Precision matters more than recall here.
bool looks_random(std::string_view value) noexcept;
// Whether `body` of a prefixed token (a provider's fixed prefix already
// matched) is varied enough to be a real token and not "xxxx...": at least
// `min_distinct` different bytes.
bool varied(std::string_view body, std::size_t min_distinct) noexcept;
// Number of the classes lower-case, upper-case, digit present in `s`.
int alnum_classes(std::string_view s) noexcept;

// Decodes base64url (padding optional) into `out`; returns the decoded
// length, or nullopt for bytes outside the alphabet, a length that cannot
// be base64, or more than `cap` bytes of output.
std::optional<std::size_t> b64url_decode(std::string_view in, char* out, std::size_t cap) noexcept;

// IPv4 in every form inet_aton accepts: one to four parts, each decimal,
// octal (leading 0) or hexadecimal (0x), the last filling the remaining
// bytes ("2852039166", "0xA9FEA9FE", "169.254.43518" are 169.254.169.254).
std::optional<std::uint32_t> parse_ipv4(std::string_view text) noexcept;
// IPv6 text form (RFC 4291), "::" compression and a trailing IPv4 part.
std::optional<std::array<std::uint8_t, 16>> parse_ipv6(std::string_view text) noexcept;

// Length (1 to 3) of the ITU-T E.164 country calling code that the digits
// start with, or 0 when they start with no assigned code. Needs 3 digits.
std::size_t calling_code_length(std::string_view digits) noexcept;

}  // namespace korvanta::scanner_detail
