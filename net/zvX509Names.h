// The names of X.509 certificates (a DER-encoded Name: a sequence of sets of attribute
// types and values), read for two uses of the TLS check: the subject as OpenSSL writes it
// on one line, shown by --verbose, and the hash a certificate folder files a CA's
// certificates under ("1a2b3c4d.0", as c_rehash and update-ca-certificates make them), so
// that the system's store is searched for the one or two CAs a chain needs instead of read
// whole (a hundred and more certificates to decode).
#pragma once

#include <cstdint>
#include <span>
#include <string>

// One DER element at the front of `in`: its tag and content, `in` left after it; false
// when malformed.
bool zvNextDerElement(std::span<const std::uint8_t>& in, std::uint8_t& tag,
                      std::span<const std::uint8_t>& content);

// "/O=Org/CN=name" (a "+" between the attributes of one set, bytes that are not printable
// ASCII as "\xC3"), as OpenSSL writes a name on one line; empty when malformed.
std::string zvNameLine(std::span<const std::uint8_t> name);

// OpenSSL's hash of a name, the first part of the file names of a hashed folder: SHA-1 of
// the name's canonical encoding (each text value as UTF-8, spaces trimmed and collapsed,
// ASCII in lower case), its first four bytes taken as a little-endian number, in eight hex
// digits. Empty when malformed or when GnuTLS cannot be loaded.
std::string zvNameHash(std::span<const std::uint8_t> name);
