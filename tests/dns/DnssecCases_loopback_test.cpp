// pellamar-cli --dnssec beside delv on the cases where a validator is most easily fooled:
// the ends of CNAME chains, wildcards, names no anchor covers, error replies, referrals and
// authoritative servers (the signed tree of tests/netns/start-dnssec.sh), and answers an
// attacker forges from the tree's genuine records (a DnsRelay in front of the tree's
// resolver, asked by both). Each case gives delv's verdict, as it prints it, and ours with
// the exit status; a flood or a slow server must not hold a lookup past its -W.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/DnsRelay.h"
#include "tests/support/NetNamespace.h"

namespace {

namespace t = wire_type;
using Reply = DnsRelay::Reply;

// pellamar-cli, built beside the test binaries.
std::string Cli() {
  std::vector<char> self(4096);
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  std::string path(self.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
  return path.substr(0, path.rfind('/')) + "/../cli/pellamar-cli";
}

struct Lookup {
  std::string out;
  std::string verdict;  // of the ";; DNSSEC: " line, "-" without one
  int status = -1;
  double seconds = 0;
};

Lookup Pellamar(const std::string& server, const std::string& name, const std::string& type,
                const std::string& anchor, int wait) {
  const auto start = std::chrono::steady_clock::now();
  Lookup run;
  run.out = CommandOutput("(timeout 60 " + Cli() + " --trust-anchor '" + anchor + "' @" + server +
                          (wait > 0 ? " -W " + std::to_string(wait) : "") + " " + name + " " +
                          type + ") 2>&1; echo \";; exit $?\"");
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const std::size_t exit = run.out.rfind(";; exit ");
  if (exit != std::string::npos) run.status = std::atoi(run.out.c_str() + exit + 8);
  const std::size_t line = run.out.find(";; DNSSEC: ");
  run.verdict =
      line == std::string::npos
          ? "-"
          : run.out.substr(line + 11, run.out.find_first_of(" \n", line + 11) - line - 11);
  return run;
}

std::string Delv(const std::string& server, const std::string& anchor, const std::string& name,
                 const std::string& type) {
  return "\n" + CommandOutput("timeout 60 delv @" + server + " -a '" + anchor + "' +root=" +
                              (anchor.find("delv-ec") != std::string::npos ? "ec.example" : ".") +
                              " " + name + " " + type);
}

// `expected`: "VERDICT STATUS" alternatives separated by '|', '*' for any status.
bool Agrees(const std::string& expected, const Lookup& run) {
  std::size_t start = 0;
  while (start <= expected.size()) {
    std::size_t end = expected.find('|', start);
    if (end == std::string::npos) end = expected.size();
    const std::string one = expected.substr(start, end - start);
    const std::size_t space = one.find(' ');
    if (one.substr(0, space) == run.verdict &&
        (one.substr(space + 1) == "*" || std::atoi(one.c_str() + space + 1) == run.status))
      return true;
    start = end + 1;
  }
  return false;
}

std::string Anchor(const std::string& which) {
  return NetnsRunDir() + "/dnssec/" + which;
}

#define REQUIRE_SIGNED_TREE()                                                                 \
  do {                                                                                        \
    REQUIRE_LOOPBACK_NAMESPACE();                                                             \
    ASSERT_EQ(std::system("command -v delv >/dev/null 2>&1"), 0) << "delv is not installed";  \
    ASSERT_EQ(access(Anchor("ec.anchor").c_str(), R_OK), 0) << "start-dnssec.sh did not run"; \
    ASSERT_EQ(access(Cli().c_str(), X_OK), 0) << Cli() << " is not built";                    \
  } while (0)

// delv's verdicts, as BIND 9.18 prints them.
constexpr const char* kSecure = "\n; fully validated\n";
constexpr const char* kUnsigned = "\n; unsigned answer\n";
constexpr const char* kUnsignedNegative = "\n; negative response, unsigned answer\n";
constexpr const char* kFailed = ";; resolution failed: ";

TEST(DnssecCases, TheSignedTreesHardCasesAsDelvJudgesThem) {
  REQUIRE_SIGNED_TREE();
  struct TCase {
    const char* what;
    const char* name;
    const char* type;
    const char* server;
    const char* anchor;  // ours; delv's is delv.anchor, or delv-ec.anchor for ec.anchor
    const char* delv;
    const char* pellamar;
  };
  const TCase cases[] = {
      // A chain is judged to its end: the target's denial and its zone's security.
      {"a signed CNAME to a name an unsigned zone denies", "to-insecure.cases.example", "A",
       "127.0.0.53", "root.anchor", kUnsignedNegative, "insecure 1"},
      {"a signed CNAME into the zone an opt-out NSEC3 covers", "to-optout.cases.example", "A",
       "127.0.0.53", "root.anchor", kUnsignedNegative, "insecure 1"},
      {"a signed CNAME to a name denied by an NSEC without RRSIG", "to-gone.cases.example", "A",
       "127.0.0.53", "root.anchor", kFailed, "bogus 5"},
      // An anchor of ec.example. only: no verdict on ed.example. (delv calls it unsigned).
      {"a name outside every anchor", "www.ed.example", "A", "127.0.0.53", "ec.anchor", kUnsigned,
       "indeterminate 0"},
      {"a name inside that anchor", "www.ec.example", "A", "127.0.0.53", "ec.anchor", kSecure,
       "secure 0"},
      // An answer from a wildcard whose next closer name an opt-out NSEC3 covers.
      {"an opt-out wildcard", "any.wild.optout.example", "A", "127.0.0.53", "root.anchor",
       kUnsigned, "insecure 0"},
      // The root's server answers below it with a referral to example., not an answer.
      {"a root server asked for a name below it", "www.ed.example", "A", "127.0.0.10",
       "root.anchor", "non-improving referral", "indeterminate 0"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.name + " " + c.type + " @" + c.server);
    const std::string delv = Delv(
        c.server, Anchor(c.anchor == std::string("ec.anchor") ? "delv-ec.anchor" : "delv.anchor"),
        c.name, c.type);
    EXPECT_NE(delv.find(c.delv), std::string::npos) << "delv lacks: " << c.delv << delv;
    const Lookup ours = Pellamar(c.server, c.name, c.type, Anchor(c.anchor), 0);
    EXPECT_TRUE(Agrees(c.pellamar, ours)) << "expected " << c.pellamar << "\n" << ours.out;
  }
}

// The zone's own server, which answers for ed.example. alone, is asked as a resolver would
// be: the chain of three zones needs a few questions, not a flood, and ends without a
// verdict (delv fails it: the server refuses the parents' questions).
TEST(DnssecCases, AnAuthoritativeServerIsAskedAFewQuestions) {
  REQUIRE_SIGNED_TREE();
  DnsRelay counter("127.0.0.170", "127.0.0.12");
  const std::string delv = Delv("127.0.0.170", Anchor("delv.anchor"), "www.ed.example", "A");
  EXPECT_NE(delv.find("REFUSED"), std::string::npos) << delv;
  EXPECT_NE(delv.find(kFailed), std::string::npos) << delv;
  counter.ClearQuestions();
  const Lookup ours = Pellamar("127.0.0.170", "www.ed.example", "A", Anchor("root.anchor"), 0);
  // Its answer is signed and under the anchor: an exit status of 5 for a chain that cannot
  // be checked is as right as 0.
  EXPECT_TRUE(Agrees("indeterminate *", ours)) << ours.out;
  const auto questions = counter.Questions();
  std::string asked;
  for (const auto& [name, type] : questions) asked += name + "/" + std::to_string(type) + " ";
  EXPECT_LE(questions.size(), 12u) << asked;
}

// ---- the attacker's forgeries, made from genuine records the relay asks the tree for ----

using Records = std::vector<WireRecord>;
using Sections = std::pair<Records, Records>;  // the answer and the authority section

bool Is(const WireMessage& q, const std::string& name, std::uint16_t type) {
  if (q.qtype != type || q.qname.size() != name.size() + 1) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(q.qname[i])) != name[i]) return false;
  return true;
}

Records Only(const Records& records, std::uint16_t type) {
  Records out;
  for (const WireRecord& r : records)
    if (r.type == type || RrsigTypeCovered(r) == type) out.push_back(r);
  return out;
}

Records Plus(Records a, const Records& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Records Renamed(Records records, const std::string& name) {
  for (WireRecord& r : records) r.name = name;
  return records;
}

WireRecord& FirstRrsig(Records& records) {
  for (WireRecord& r : records)
    if (r.type == t::RRSIG) return r;
  throw std::runtime_error("no RRSIG to forge from");
}

WireRecord Junk(WireRecord rrsig) {
  rrsig.data.back() ^= 0x5A;
  return rrsig;
}

// The A records with a forged address; `keep_rrsig` keeps their genuine RRSIG beside them.
Records ForgedAddress(Records records, bool keep_rrsig = false) {
  Records out;
  for (WireRecord& r : records) {
    if (r.type == t::A) r.data = {192, 0, 2, 166};
    if (r.type == t::A || keep_rrsig) out.push_back(r);
  }
  return out;
}

// A zone's SOA with its RRSIG, for the authority section of a denial.
Records SoaOf(DnsRelay& relay, const std::string& zone) {
  return Only(relay.Ask(zone, t::SOA).answer, t::SOA);
}

// The genuine NXDOMAIN's denial (SOA, NSEC or NSEC3 and their RRSIGs) of another name.
Records DenialOf(DnsRelay& relay, const std::string& name, const std::string& server = "") {
  return relay.Ask(name, t::A, server).authority;
}

// The NSEC of a wildcard (*.w.cases.example. with TXT; *.d.cases.example. with NS) under
// another owner: its RRSIG still verifies, as its label count makes the owner a name the
// wildcard produced. From the zone's own server, for a resolver follows *.d's delegation.
Records WildcardNsec(DnsRelay& relay, const std::string& wildcard, const std::string& owner) {
  const WireMessage m = relay.Ask(wildcard, t::NSEC, "127.0.0.12");
  Records nsec;
  for (const WireRecord& r : Only(Plus(m.answer, m.authority), t::NSEC))
    if (r.name == wildcard) nsec.push_back(r);
  return Renamed(nsec, owner);
}

// The question `name` `type` (of any name when empty) answered with `rcode` and the
// sections `make` gives, with an OPT with DO; every other question goes to `rest`, or on to
// the tree.
DnsRelay::Rule Forge(const std::string& name, std::uint16_t type, int rcode,
                     std::function<Sections(DnsRelay&)> make, DnsRelay::Rule rest = {}) {
  return [=](const WireMessage& q, DnsRelay& relay) {
    if (q.qtype != type || (!name.empty() && !Is(q, name, type)))
      return rest ? rest(q, relay) : Reply{};
    WireMessage m;
    m.flags = static_cast<std::uint16_t>(0x8400 | (q.flags & 0x0110) | rcode);
    m.qname = q.qname;
    m.qtype = q.qtype;
    std::tie(m.answer, m.authority) = make(relay);
    m.additional.push_back({".", t::OPT, 1232, 0x8000, {}});
    Reply reply;
    reply.message = std::move(m);
    return reply;
  };
}

// Questions of this type (of any name when `name` is empty) left unanswered.
DnsRelay::Rule Unanswered(std::uint16_t type, const std::string& name = "") {
  return [=](const WireMessage& q, DnsRelay&) {
    return Reply{{}, q.qtype == type && (name.empty() || Is(q, name, type))};
  };
}

// `records` (one set, its names in lower case) signed as `model` says (its signer, times,
// tag) with the Ed25519 key whose ldns private file is `key`.
WireRecord SignedLike(WireRecord rrsig, const Records& records, const std::string& key) {
  std::size_t end = 18;
  while (rrsig.data.at(end) != 0) end += 1 + rrsig.data[end];
  rrsig.data.resize(end + 1);
  std::vector<std::vector<std::uint8_t>> datas;
  for (const WireRecord& r : records) datas.push_back(r.data);
  std::sort(datas.begin(), datas.end());
  std::vector<std::uint8_t> signed_data = rrsig.data;
  for (const auto& data : datas) {
    const std::vector<std::uint8_t> owner = WireName(records.front().name);
    signed_data.insert(signed_data.end(), owner.begin(), owner.end());
    signed_data.insert(signed_data.end(),
                       {0, static_cast<std::uint8_t>(records.front().type), 0, 1});
    signed_data.insert(signed_data.end(), rrsig.data.begin() + 4, rrsig.data.begin() + 8);
    signed_data.push_back(static_cast<std::uint8_t>(data.size() >> 8));
    signed_data.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
    signed_data.insert(signed_data.end(), data.begin(), data.end());
  }
  const std::string text = CommandOutput("sed -n 's/^PrivateKey: //p' '" + key + ".private'");
  std::uint8_t seed[48] = {};
  EVP_DecodeBlock(seed, reinterpret_cast<const unsigned char*>(text.data()),
                  static_cast<int>(text.find_first_of("\n")));
  EVP_PKEY* secret = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::size_t size = 64;
  std::vector<std::uint8_t> signature(size);
  EVP_DigestSignInit(context, nullptr, nullptr, nullptr, secret);
  EVP_DigestSign(context, signature.data(), &size, signed_data.data(), signed_data.size());
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(secret);
  rrsig.data.insert(rrsig.data.end(), signature.begin(), signature.begin() + size);
  return rrsig;
}

// KeyTrap: a NODATA of the attacker's own zone whose NSEC set is `count` records of the
// name, signed with the zone's key, under eight RRSIGs of which the first seven are spoilt.
Sections NsecFlood(DnsRelay& relay, int count) {
  Records flood;
  for (int i = 0; i < count; ++i) {
    WireRecord r{"www.evil.example.", t::NSEC, 1, 300,
                 WireName(std::to_string(1000 + i) + ".evil.example.")};
    r.data.insert(r.data.end(), {0, 1, 0x40});  // A only
    flood.push_back(r);
  }
  Records nsec = Only(relay.Ask("www.evil.example.", t::TXT).authority, t::NSEC);
  const WireRecord genuine = SignedLike(
      FirstRrsig(nsec), flood, CommandOutput("head -c -1 " + Anchor("keys/evil.example.zsk")));
  for (int i = 0; i < 7; ++i) flood.push_back(Junk(genuine));
  flood.push_back(genuine);
  return {{}, Plus(SoaOf(relay, "evil.example."), flood)};
}

// `count` unsigned NSEC3 records of example. claiming 65,535 iterations, none named after
// the DS's owner.
Sections Nsec3Flood(DnsRelay& relay, int count) {
  Records flood;
  const char* digits = "0123456789abcdefghijklmnopqrstuv";
  for (int i = 0; i < count; ++i) {
    std::string label;
    for (int k = 0; k < 32; ++k) label += digits[(i * 7 + k * 13) % 32];
    WireRecord r{
        label + ".example.", t::NSEC3, 1, 300, {1, 0, 0xFF, 0xFF, 4, 0xAA, 0xBB, 0xCC, 0xDD, 20}};
    for (int k = 0; k < 20; ++k) r.data.push_back(static_cast<std::uint8_t>(i + k));
    r.data.insert(r.data.end(), {0, 1, 0x20});  // NS only
    flood.push_back(r);
  }
  return {{}, Plus(SoaOf(relay, "example."), flood)};
}

TEST(DnssecCases, ForgedAnswersAreBogusAndEndWithinTheirTime) {
  REQUIRE_SIGNED_TREE();
  struct TCase {
    const char* what;
    const char* name;
    const char* type;
    DnsRelay::Rule rule;
    const char* delv;
    const char* pellamar;
    int wait = 0;  // -W; the lookup must end within it and a margin
  };
  const std::string cover = CommandOutput("head -n1 " + Anchor("evil3-cover.name"));
  const std::string evil3_cover = cover.substr(0, cover.find('\n'));
  const auto ask = [](const char* name, std::uint16_t type, const char* server = "") {
    return [=](DnsRelay& r) { return r.Ask(name, type, server).answer; };
  };
  const auto nxdomain_of = [](const std::string& name, const std::string& server = "") {
    return [=](DnsRelay& r) { return Sections{{}, DenialOf(r, name, server)}; };
  };
  const TCase cases[] = {
      {"another name's signed address as the answer", "www.ed.example", "A",
       Forge("www.ed.example", t::A, 0,
             [&](DnsRelay& r) {
               return Sections{ask("mail.ed.example.", t::A)(r), {}};
             }),
       kFailed, "bogus 5"},
      {"NXDOMAIN proved by the parent's NSEC at the delegation", "www.ed.example", "A",
       Forge("www.ed.example", t::A, 3, nxdomain_of("ed0.example.", "127.0.0.11")), kFailed,
       "bogus 5"},
      // The NSEC of evil.example.'s last name wraps round to its apex, past www.ed.example.
      {"NXDOMAIN proved by the attacker's zone's NSEC", "www.ed.example", "A",
       Forge("www.ed.example", t::A, 3, nxdomain_of("zzz.evil.example.")), kFailed, "bogus 5"},
      {"NXDOMAIN proved by the attacker's NSEC3 of 151 iterations", "www.ed.example", "A",
       Forge("www.ed.example", t::A, 3, nxdomain_of("nothing.evil151.example.")), kFailed,
       "bogus 5"},
      {"an unsigned address, 'no DS' proved by another zone's NSEC3 named by ec.example.'s hash",
       "www.ec.example", "A",
       Forge(
           "www.ec.example", t::A, 0,
           [&](DnsRelay& r) {
             return Sections{ForgedAddress(ask("www.ec.example.", t::A)(r)), {}};
           },
           Forge("ec.example", t::DS, 0, nxdomain_of(evil3_cover))),
       kFailed, "bogus 5"},
      {"the RRSIG stripped and every DS question unanswered", "www.ed.example", "A",
       Forge(
           "www.ed.example", t::A, 0,
           [&](DnsRelay& r) {
             return Sections{Only(ask("www.ed.example.", t::A)(r), t::A), {}};
           },
           Unanswered(t::DS)),
       kFailed, "bogus 5|indeterminate 5", 1},
      {"a forged address under its RRSIG, the signer made the owner, whose keys go unanswered",
       "www.ed.example", "A",
       Forge(
           "www.ed.example", t::A, 0,
           [&](DnsRelay& r) {
             Records answer = ForgedAddress(ask("www.ed.example.", t::A)(r), true);
             SetRrsigSigner(FirstRrsig(answer), "www.ed.example.");
             return Sections{answer, {}};
           },
           Unanswered(t::DNSKEY, "www.ed.example")),
       kFailed, "bogus 5|indeterminate 5", 1},
      // A bogus finding stands when a later question of the chain times out.
      {"a forged address under its RRSIG, then a set whose DS question goes unanswered",
       "www.ed.example", "A",
       Forge(
           "www.ed.example", t::A, 0,
           [&](DnsRelay& r) {
             return Sections{Plus(ForgedAddress(ask("www.ed.example.", t::A)(r), true),
                                  ask("www.ec.example.", t::A)(r)),
                             {}};
           },
           Unanswered(t::DS, "ec.example")),
       kFailed, "bogus 5", 1},
      {"NXDOMAIN for a name of a wildcard proved by that wildcard's renamed NSEC",
       "b.w.cases.example", "TXT",
       Forge("b.w.cases.example", t::TXT, 3,
             [](DnsRelay& r) {
               return Sections{{},
                               Plus(SoaOf(r, "cases.example."),
                                    WildcardNsec(r, "*.w.cases.example.", "!.w.cases.example."))};
             }),
       kFailed, "bogus 5"},
      {"NODATA proved by the wildcard's NSEC renamed to the name", "real.w.cases.example", "A",
       Forge("real.w.cases.example", t::A, 0,
             [](DnsRelay& r) {
               return Sections{
                   {},
                   Plus(SoaOf(r, "cases.example."),
                        WildcardNsec(r, "*.w.cases.example.", "real.w.cases.example."))};
             }),
       kFailed, "bogus 5"},
      {"'no DS' proved by a wildcard delegation's NSEC renamed to the child",
       "www.kid.d.cases.example", "A",
       Forge(
           "www.kid.d.cases.example", t::A, 0,
           [&](DnsRelay& r) {
             return Sections{ForgedAddress(ask("www.kid.d.cases.example.", t::A)(r)), {}};
           },
           Forge("kid.d.cases.example", t::DS, 0,
                 [](DnsRelay& r) {
                   return Sections{
                       {},
                       Plus(SoaOf(r, "cases.example."),
                            WildcardNsec(r, "*.d.cases.example.", "kid.d.cases.example."))};
                 })),
       kFailed, "bogus 5"},
      // With example.'s NSEC at ed.example. as the proof that no closer name matched.
      {"a wildcard above the signer (*.example. signed by ed.example.)", "www.ed.example", "A",
       Forge("www.ed.example", t::A, 0,
             [&](DnsRelay& r) {
               return Sections{ask("www.ed.example.", t::A, "127.0.0.13")(r),
                               Only(DenialOf(r, "ed0.example.", "127.0.0.11"), t::NSEC)};
             }),
       kFailed, "bogus 5"},
      // A fifth byte after a signed address: a malformed answer, or a bogus one.
      {"an A record of five bytes in a signed set", "five.cases.example", "A",
       Forge("five.cases.example", t::A, 0,
             [&](DnsRelay& r) {
               Records answer = ask("five.cases.example.", t::A)(r);
               for (WireRecord& record : answer)
                 if (record.type == t::A) record.data.push_back(0);
               return Sections{answer, {}};
             }),
       kFailed, "bogus 5|- 4"},
      // Without the NSEC3 that denies *.optout.example. (named by the zone's own hash, which
      // it follows), the NXDOMAIN of a.www.optout.example. lacks its wildcard proof; its
      // closest encloser (www) and next closer name keep theirs.
      {"an opt-out NXDOMAIN without its wildcard NSEC3", "a.www.optout.example", "A",
       Forge("a.www.optout.example", t::A, 3,
             [](DnsRelay& r) {
               Records denial;
               for (const WireRecord& record : DenialOf(r, "a.www.optout.example."))
                 if (record.name != "ks2707306qk39eo9fve28ptvitbna53d.optout.example.")
                   denial.push_back(record);
               return Sections{{}, denial};
             }),
       kFailed, "bogus 5"},
      {"the wildcard's data for an existing name, a junk full-length RRSIG first",
       "real.wild.ed.example", "A",
       Forge("real.wild.ed.example", t::A, 0,
             [&](DnsRelay& r) {
               Records answer =
                   Renamed(ask("x.wild.ed.example.", t::A)(r), "real.wild.ed.example.");
               WireRecord junk = Junk(FirstRrsig(answer));
               SetRrsigLabels(junk, 4);
               answer.insert(answer.begin() + 1, junk);
               return Sections{answer, {}};
             }),
       kFailed, "bogus 5"},
      {"SERVFAIL", "www.ed.example", "A",
       Forge("www.ed.example", t::A, 2, [](DnsRelay&) { return Sections{}; }),
       ";; resolution failed: failure", "indeterminate 1"},
      // KeyTrap: 1,500 NSEC records of one name (a name has one NSEC) under eight RRSIGs.
      {"a NODATA with an NSEC set of 1,500 records and 8 RRSIGs", "www.evil.example", "TXT",
       Forge("www.evil.example", t::TXT, 0, [](DnsRelay& r) { return NsecFlood(r, 1500); }),
       kFailed, "bogus 5|indeterminate *", 2},
      {"an unsigned address, its zone's DS denied by 600 NSEC3 of 65,535 iterations",
       "www.ed.example", "A",
       Forge(
           "www.ed.example", t::A, 0,
           [&](DnsRelay& r) {
             return Sections{ForgedAddress(ask("www.ed.example.", t::A)(r)), {}};
           },
           Forge("ed.example", t::DS, 0, [](DnsRelay& r) { return Nsec3Flood(r, 600); })),
       kFailed, "bogus 5", 2},
      // Genuine answers, each key or DS after 0.9 s: delv, without a deadline, gets there;
      // one -W bounds the lookup and its chain together.
      {"every key and DS question answered after 0.9 s", "www.ed.example", "A",
       [](const WireMessage& q, DnsRelay&) {
         Reply reply;
         if (q.qtype == t::DS || q.qtype == t::DNSKEY) reply.delay = std::chrono::milliseconds(900);
         return reply;
       },
       kSecure, "indeterminate *|bogus 5", 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.name + " " + c.type);
    DnsRelay relay("127.0.0.171");
    relay.SetRule(c.rule);
    const std::string delv = Delv("127.0.0.171", Anchor("delv.anchor"), c.name, c.type);
    EXPECT_NE(delv.find(c.delv), std::string::npos) << "delv lacks: " << c.delv << delv;
    const Lookup ours = Pellamar("127.0.0.171", c.name, c.type, Anchor("root.anchor"), c.wait);
    EXPECT_TRUE(Agrees(c.pellamar, ours)) << "expected " << c.pellamar << "\n" << ours.out;
    EXPECT_FALSE(ours.out.find("192.0.2.166") != std::string::npos && ours.status == 0)
        << "a forged address shown as a success\n"
        << ours.out;
    if (c.wait > 0) {
      EXPECT_LT(ours.seconds, c.wait + 1.5) << ours.out;
    }
  }
}

}  // namespace
