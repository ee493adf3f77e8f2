// A DNS message taken apart into its records, for tests that forge answers from genuine
// ones: records moved between sections or messages, renamed, dropped or altered, then the
// message written out again. Names are kept as dotted text with the trailing dot, as they
// came (no case folding), and written uncompressed but for owners that are the question's
// name; the names inside the data of the types that servers compress (NS, CNAME, SOA, PTR,
// MX, DNAME) are expanded when read, so that every record's data stands alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct WireRecord {
  std::string name;
  std::uint16_t type = 0;
  std::uint16_t klass = 1;
  std::uint32_t ttl = 300;
  std::vector<std::uint8_t> data;
};

struct WireMessage {
  std::uint16_t id = 0;
  std::uint16_t flags = 0;  // QR, opcode, AA, TC, RD, RA, AD, CD and the response code
  std::string qname;
  std::uint16_t qtype = 0;
  std::uint16_t qclass = 1;
  std::vector<WireRecord> answer, authority, additional;

  // Fails with std::runtime_error on a message that is cut short or malformed.
  static WireMessage Parse(const std::vector<std::uint8_t>& bytes);
  std::vector<std::uint8_t> Bytes() const;

  int Rcode() const { return flags & 0x0F; }
  void SetRcode(int rcode) { flags = static_cast<std::uint16_t>((flags & ~0x0F) | (rcode & 0x0F)); }
};

// The name as uncompressed wire labels, and back.
std::vector<std::uint8_t> WireName(const std::string& dotted);
// Record types by number, for the forgeries' tables.
namespace wire_type {
constexpr std::uint16_t A = 1, NS = 2, CNAME = 5, SOA = 6, TXT = 16, DS = 43, RRSIG = 46, NSEC = 47,
                        DNSKEY = 48, NSEC3 = 50, OPT = 41;
}

// The fields of an RRSIG's data that forgeries change: the label count (byte 3), and the
// signer's name after the 18 fixed bytes.
std::uint16_t RrsigTypeCovered(const WireRecord& rrsig);
void SetRrsigLabels(WireRecord& rrsig, std::uint8_t labels);
void SetRrsigSigner(WireRecord& rrsig, const std::string& signer);
