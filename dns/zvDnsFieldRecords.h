// The record types whose data is a fixed run of simple fields, decoded and written through
// one table of layouts rather than a class each (as c-ares keeps its types): HINFO, RP,
// NAPTR, KX, CERT, DNAME, APL, SSHFP, IPSECKEY, DHCID, TLSA, SMIMEA, OPENPGPKEY, CSYNC,
// ZONEMD, NID, L32, L64, EUI48, EUI64, URI and LOC. Each field is read within the
// record's data; a field the data is too short for, or data left over after the last
// field, makes the record malformed, as for every other type.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dns/zvDnsRecordTypes.h"

enum class TzvDnsFieldKind : std::uint8_t {
  U8,
  U16,
  U32,
  Name,        // a domain name; a pointer is followed when read, none is written
  String,      // a character-string: a length byte and up to 255 bytes, shown quoted
  QuotedRest,  // the rest of the data as one text, shown quoted (URI's target)
  HexRest,     // the rest of the data, shown in hex
  Base64Rest,  // the rest of the data, shown in base64
  TypesRest,   // a type bitmap (RFC 4034 §4.1.2) to the data's end, shown as mnemonics
  Eui48,       // six octets, shown "00-00-5e-00-53-2a"
  Eui64,       // eight octets
  IPv4,        // four octets, shown dotted
  Locator64,   // eight octets in four groups of hex (ILNP's L64 and NID)
  CertType,    // 16 bits, shown with CERT's mnemonics (PKIX, PGP, ...)
  Algorithm,   // 8 bits, shown with DNSSEC's algorithm mnemonics (RSASHA256, ...)
  Gateway,     // IPSECKEY's gateway: none, IPv4, IPv6 or a name, as the field before says
  Prefixes,    // APL's address prefixes to the data's end
};

// One field of a layout: its kind and its key in JSON.
struct TzvDnsFieldSlot {
  TzvDnsFieldKind Kind;
  const char* Key;
};

// A field's value. Numbers (and the mnemonic kinds) use Number; names, character-strings
// and URI's target use Text; the other kinds their octets as on the wire (a gateway's
// address, a prefix list), except TypesRest, which uses Types.
struct TzvDnsFieldValue {
  std::uint32_t Number = 0;
  std::string Text;
  std::vector<std::uint8_t> Bytes;
  std::vector<std::uint16_t> Types;
  bool operator==(const TzvDnsFieldValue&) const = default;
};

class TzvDnsFieldRecord : public TzvDnsRecord {
 public:
  // A record of a type with a layout (see Layout), all its fields zero or empty.
  explicit TzvDnsFieldRecord(std::int32_t record_type);
  std::string ClassName() const override { return "TzvDnsFieldRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  // Refuses (code 2) fields that cannot be written: a character-string over 255 bytes,
  // octets of the wrong count, a gateway or prefix list that breaks its own rules.
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  // The fields of a type, in wire order; empty for a type without a layout.
  static std::span<const TzvDnsFieldSlot> Layout(std::int32_t record_type);

  // One value per field of the layout.
  std::vector<TzvDnsFieldValue> Fields;
};
