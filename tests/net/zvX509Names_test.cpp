// Certificate names against OpenSSL's own reading of them: the subject hash a hashed CA
// folder files a certificate under (`openssl x509 -hash`) and the one-line subject
// (`-nameopt compat`), for certificates `openssl req` makes here with names that need the
// canonical form: case, spaces, several attributes in one set, text beyond ASCII, and the
// older string types (PrintableString, T61String) beside UTF8String.
#include "net/zvX509Names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/support/NetNamespace.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The issuer of a DER certificate, as its whole encoding (for a self-signed one, its
// subject).
Bytes IssuerOf(const Bytes& certificate) {
  std::span<const std::uint8_t> in(certificate), body, tbs, skipped;
  std::uint8_t tag = 0;
  if (!zvNextDerElement(in, tag, body) || !zvNextDerElement(body, tag, tbs)) return {};
  std::span<const std::uint8_t> fields = tbs;
  zvNextDerElement(fields, tag, skipped);                   // version [0] or the serial number
  if (tag == 0xa0) zvNextDerElement(fields, tag, skipped);  // the serial number
  zvNextDerElement(fields, tag, skipped);                   // the signature's algorithm
  const std::span<const std::uint8_t> issuer_start = fields;
  if (!zvNextDerElement(fields, tag, skipped)) return {};
  return Bytes(issuer_start.begin(), issuer_start.begin() + (issuer_start.size() - fields.size()));
}

TEST(X509Names, HashAndLineAreOpenSslsForEveryKindOfName) {
  ASSERT_EQ(std::system("command -v openssl >/dev/null 2>&1"), 0)
      << "openssl is not installed (scripts/install-deps.sh server)";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("pellamar-names-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  // "default": the older types where they suffice; "utf8only": UTF8String throughout.
  for (const char* mask : {"default", "utf8only"}) {
    std::ofstream(dir / mask) << "[req]\ndistinguished_name=dn\nstring_mask=" << mask << "\n[dn]\n";
  }
  struct TCase {
    const char* subject;
    const char* mask;
    bool line;  // the one-line form is compared (OpenSSL writes a BMPString's pairs its own way)
  };
  const TCase cases[] = {
      {"/O=Pellamar tests/CN=Pellamar Test CA", "utf8only", true},
      {"/C=ES/O=  Pellamar   Tests\t /CN=MiXeD.Case.Example", "default", true},
      {"/C=ES/O=  Pellamar   Tests\t /CN=MiXeD.Case.Example", "utf8only", true},
      {"/DC=example/DC=net/CN=Multi+OU=Valued+O=Set", "utf8only", true},
      {"/CN=\xc3\x91"
       "and\xc3\xba \xc3\x96"
       "d\xc3\xb6n",
       "utf8only", true},
      {"/CN=\xc3\x91"
       "and\xc3\xba \xc3\x96"
       "d\xc3\xb6n",
       "default", false},                          // T61String
      {"/CN=\xe2\x82\xac uro", "default", false},  // BMPString
  };
  int index = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.subject) + " " + c.mask);
    const std::string base = (dir / std::to_string(index++)).string();
    const std::string made = CommandOutput(
        "openssl req -x509 -new -utf8 -multivalue-rdn -config '" + (dir / c.mask).string() +
        "' -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -days 1 -subj '" + c.subject +
        "' -keyout '" + base + ".key' -outform DER -out '" + base + ".der' 2>&1 && echo made");
    ASSERT_NE(made.find("made"), std::string::npos) << made;
    std::ifstream file(base + ".der", std::ios::binary);
    const Bytes certificate{std::istreambuf_iterator<char>(file), {}};
    const Bytes issuer = IssuerOf(certificate);
    ASSERT_FALSE(issuer.empty());
    const std::string openssl = "openssl x509 -inform DER -in '" + base + ".der' -noout ";
    std::string hash = CommandOutput(openssl + "-hash");
    hash.erase(hash.find_last_not_of("\n") + 1);
    EXPECT_EQ(zvNameHash(issuer), hash);
    if (c.line) {
      std::string line = CommandOutput(openssl + "-subject -nameopt compat");
      line.erase(line.find_last_not_of("\n") + 1);
      EXPECT_EQ("subject=" + zvNameLine(issuer), line);
    }
  }
  // Not a name: no hash, no line.
  EXPECT_EQ(zvNameHash(Bytes{0x30, 0x03, 0x31, 0x01}), "");
  EXPECT_EQ(zvNameLine(Bytes{0x31, 0x00}), "");
  std::filesystem::remove_all(dir);
}

}  // namespace
