// Trust anchors: the built-in root keys (beside Debian's copy when it is there) and the
// zone-file lines anchors are read from; and malformed DNSSEC records in a root zone signed
// here, in the test, which must leave the answer bogus or indeterminate, never secure.
#include "dns/zvDnssecChain.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/Base64.h"
#include "dns/zvDnsNsecRecords.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsRrsigRecord.h"
#include "dns/zvDnssecCrypto.h"
#include "dns/zvDnssecVerify.h"
#include "net/zvSocketUtils.h"

namespace {

std::vector<int> TagsOf(const std::vector<std::unique_ptr<TzvDnsRecord>>& anchors) {
  std::vector<int> tags;
  for (const auto& anchor : anchors) {
    if (const auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(anchor.get()))
      tags.push_back(key->KeyTag());
    else if (const auto* ds = dynamic_cast<const TzvDnsDSRecord*>(anchor.get()))
      tags.push_back(ds->KeyTag);
  }
  return tags;
}

TEST(TrustAnchors, TheBuiltInRootKeysAreIanasTwo) {
  const auto anchors = BuiltInRootAnchors();
  EXPECT_EQ(TagsOf(anchors), (std::vector<int>{20326, 38696}));
  for (const auto& anchor : anchors) EXPECT_EQ(anchor->Name, "");  // the root
  const char* debian = "/usr/share/dns/root.key";
  if (!std::filesystem::exists(debian)) GTEST_SKIP() << debian << " is not installed";
  std::ifstream file(debian);
  std::stringstream text;
  text << file.rdbuf();
  const auto published = ReadTrustAnchors(text.str());
  ASSERT_EQ(published.size(), anchors.size());
  for (std::size_t i = 0; i < anchors.size(); ++i) {
    const auto* ours = dynamic_cast<const TzvDnsDNSKEYRecord*>(anchors[i].get());
    const auto* theirs = dynamic_cast<const TzvDnsDNSKEYRecord*>(published[i].get());
    ASSERT_NE(theirs, nullptr);
    EXPECT_EQ(ours->PublicKey, theirs->PublicKey);
    EXPECT_EQ(ours->Flags, theirs->Flags);
  }
}

// The system's copy of the root's keys is read when it can be; anything else falls back to
// the built-in keys rather than leaving the lookup with no anchor at all.
TEST(TrustAnchors, TheSystemsFileComesFirstWhenUsable) {
  const std::string dir = ::testing::TempDir();
  const std::pair<const char*, std::vector<int>> cases[] = {
      {". IN DS 12345 13 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D\n",
       {12345}},
      {"; nothing but a comment\n", {20326, 38696}},
      {". IN A 127.0.0.1\n", {20326, 38696}},
  };
  for (const auto& [text, tags] : cases) {
    const std::string path = dir + "/root.key";
    std::ofstream(path) << text;
    EXPECT_EQ(TagsOf(DefaultTrustAnchors(path)), tags) << text;
  }
  EXPECT_EQ(TagsOf(DefaultTrustAnchors(dir + "/missing.key")), (std::vector<int>{20326, 38696}));
  try {
    ReadTrustAnchorFile(dir + "/missing.key");
    ADD_FAILURE();
  } catch (const EzvDnsError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot read the trust anchors in "), std::string::npos);
  }
}

TEST(TrustAnchors, LinesInZoneFileFormAndTheirMistakes) {
  const auto anchors = ReadTrustAnchors(
      "; the root, as unbound writes it\n"
      ". 172800 IN DS 20326 8 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237 "
      "C7F8EC8D\n"
      "\n"
      "example. in dnskey 257 3 15 Npbzmkoh3cbwlybR58QW+E9GJoYHZO7gtIGsKu1BAco= ; a comment\n");
  ASSERT_EQ(anchors.size(), 2u);
  const auto* ds = dynamic_cast<const TzvDnsDSRecord*>(anchors[0].get());
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(ds->Digest.size(), 32u);
  EXPECT_EQ(ds->Digest[0], 0xE0);
  EXPECT_EQ(anchors[1]->Name, "example");
  const std::pair<const char*, const char*> refused[] = {
      {". IN A 127.0.0.1", "line 1: a trust anchor is a DS or DNSKEY record, not A"},
      {"\n. IN DS 20326 8 2 E06D4", "line 2:"},
      {". IN DS 20326 8", "a field is missing"},
      {". IN DNSKEY 257 3 x AwEA", "'x' is not a number"},
      {". IN DNSKEY 257 3 8 A!EA", "line 1: Invalid base64"},
      {".", "no record type"}};
  for (const auto& [text, message] : refused) {
    try {
      ReadTrustAnchors(text);
      ADD_FAILURE() << text;
    } catch (const EzvDnsError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

// ---- malformed records ----

constexpr std::uint32_t kNow = 1750000000;

struct TKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// The root's Ed25519 key, made from a fixed seed, and its DNSKEY record as a case has
// broken it (the record's algorithm and tag go into the signatures, so that only the broken
// field can make them fail).
struct TRootKey {
  std::unique_ptr<EVP_PKEY, TKeyFree> secret;
  TzvDnsDNSKEYRecord record;
};

TRootKey MakeRootKey(std::uint8_t first = 0x52) {
  std::uint8_t seed[32];
  for (std::uint8_t i = 0; i < sizeof seed; ++i) seed[i] = static_cast<std::uint8_t>(first + i);
  TRootKey key;
  key.secret.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, sizeof seed));
  std::size_t size = 32;
  key.record.PublicKey.resize(size);
  EVP_PKEY_get_raw_public_key(key.secret.get(), key.record.PublicKey.data(), &size);
  key.record.Flags = kzvDnskeyZoneKey | kzvDnskeySecureEntryPoint;
  key.record.Algorithm = kzvDnssecEd25519;
  return key;
}

// Adds the RRSIG of the section's `owner`/`type` records, made with the key of `signer`
// (the root's unless said).
void Sign(const TRootKey& key, TzvDnsRecordList& section, const std::string& owner,
          std::int32_t type, const std::string& signer = "") {
  std::vector<const TzvDnsRecord*> rrset;
  for (const auto& record : section)
    if (record->Name == owner && record->RecordType == type) rrset.push_back(record.get());
  auto rrsig = std::make_unique<TzvDnsRRSIGRecord>();
  rrsig->Name = owner;
  rrsig->TypeCovered = static_cast<std::uint16_t>(type);
  rrsig->Algorithm = key.record.Algorithm;
  rrsig->Labels = static_cast<std::uint8_t>(
      owner.empty() ? 0 : 1 + std::count(owner.begin(), owner.end(), '.'));
  rrsig->SignerName = signer;
  rrsig->Inception = kNow - 86400;
  rrsig->Expiration = kNow + 86400;
  rrsig->KeyTag = key.record.KeyTag();
  const auto data = RRsetSignedData(*rrsig, rrset);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key.secret.get());
  std::size_t size = 64;
  rrsig->Signature.resize(size);
  EVP_DigestSign(context, rrsig->Signature.data(), &size, data.data(), data.size());
  EVP_MD_CTX_free(context);
  section.Add(std::move(rrsig));
}

template <class TRecord>
TRecord* Add(TzvDnsRecordList& section, const std::string& owner) {
  auto record = std::make_unique<TRecord>();
  record->Name = owner;
  TRecord* added = record.get();
  section.Add(std::move(record));
  return added;
}

TzvDnsRRSIGRecord& LastSignature(TzvDnsRecordList& section) {
  return dynamic_cast<TzvDnsRRSIGRecord&>(*section[section.Count() - 1]);
}

// NODATA for www.example/AAAA, by the NSEC3 record of its hash (one iteration, no salt).
void MakeNsec3Denial(const TRootKey& key, TzvDnsMessage& answer) {
  answer.Answers().Clear();
  answer.Queries()[0]->RecordType = kzvDnsTypeAAAA;
  const auto hash = *Nsec3Hash(kzvNsec3HashSha1, 1, {}, DnssecCanonicalName("www.example"));
  auto* nsec3 = Add<TzvDnsNSEC3Record>(answer.Authorities(), Base32HexEncode(hash));
  nsec3->Iterations = 1;
  nsec3->NextHashedOwner = hash;
  nsec3->NextHashedOwner.back() ^= 1;
  nsec3->Types = {kzvDnsTypeA, kzvDnsTypeRRSIG};
  Sign(key, answer.Authorities(), nsec3->Name, kzvDnsTypeNSEC3);
}

TEST(DnssecChainMalformed, BrokenKeysSignaturesAndProofsAreNeverSecure) {
  using KeyFault = void (*)(TzvDnsDNSKEYRecord&);
  using AnswerFault = void (*)(const TRootKey&, TzvDnsMessage&);
  struct TCase {
    const char* what;
    KeyFault key_fault;
    AnswerFault answer_fault;
    TzvDnssecVerdict verdict;
    const char* reason;
  };
  const auto kSecure = TzvDnssecVerdict::Secure, kBogus = TzvDnssecVerdict::Bogus;
  const TCase cases[] = {
      {"intact", nullptr, nullptr, kSecure, ""},
      {"Ed25519 key of 31 bytes", [](TzvDnsDNSKEYRecord& key) { key.PublicKey.pop_back(); },
       nullptr, kBogus, "./DNSKEY: RRSIG failed to verify"},
      {"P-256 key of 63 bytes",
       [](TzvDnsDNSKEYRecord& key) {
         key.Algorithm = kzvDnssecEcdsaP256;
         key.PublicKey.resize(63, 0x11);
       },
       nullptr, kBogus, "./DNSKEY: RRSIG failed to verify"},
      {"RSA exponent past the key",
       [](TzvDnsDNSKEYRecord& key) {
         key.Algorithm = kzvDnssecRsaSha256;
         key.PublicKey = {5, 0x01, 0x00, 0x01};
       },
       nullptr, kBogus, "./DNSKEY: RRSIG failed to verify"},
      {"signature a byte short", nullptr,
       [](const TRootKey&, TzvDnsMessage& answer) {
         LastSignature(answer.Answers()).Signature.pop_back();
       },
       kBogus, "www.example/A: RRSIG failed to verify"},
      {"no signature", nullptr,
       [](const TRootKey&, TzvDnsMessage& answer) {
         LastSignature(answer.Answers()).Signature.clear();
       },
       kBogus, "www.example/A: RRSIG failed to verify"},
      {"more labels than the owner", nullptr,
       [](const TRootKey&, TzvDnsMessage& answer) { LastSignature(answer.Answers()).Labels = 3; },
       kBogus, "www.example/A: RRSIG has more labels than its owner"},
      // Zero labels say the root's wildcard made the records: the signed owner is "*.".
      {"zero labels", nullptr,
       [](const TRootKey&, TzvDnsMessage& answer) { LastSignature(answer.Answers()).Labels = 0; },
       kBogus, "www.example/A: RRSIG failed to verify"},
      {"NSEC3 proof", nullptr, MakeNsec3Denial, kSecure, ""},
      // Refused when the validator writes it again for the signed data.
      {"NSEC3 with an empty next hash", nullptr,
       [](const TRootKey& key, TzvDnsMessage& answer) {
         MakeNsec3Denial(key, answer);
         dynamic_cast<TzvDnsNSEC3Record&>(*answer.Authorities()[0]).NextHashedOwner.clear();
       },
       TzvDnssecVerdict::Indeterminate, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TRootKey key = MakeRootKey();
    if (c.key_fault != nullptr) c.key_fault(key.record);
    auto keys = std::make_shared<TzvDnsExtendedMessage>();
    Add<TzvDnsDNSKEYRecord>(keys->Answers(), "")->Assign(&key.record);
    Sign(key, keys->Answers(), "", kzvDnsTypeDNSKEY);
    TzvDnsExtendedMessage answer;
    Add<TzvDnsRecord>(answer.Queries(), "www.example")->RecordType = kzvDnsTypeA;
    Add<TzvDnsARecord>(answer.Answers(), "www.example")->IPAddress = "192.0.2.1";
    Sign(key, answer.Answers(), "www.example", kzvDnsTypeA);
    if (c.answer_fault != nullptr) c.answer_fault(key, answer);

    // The root's keys to their question; nothing (no DS, no proof) to any other.
    const TzvDnssecAsk ask = [keys](const std::string& name, std::int32_t type) {
      auto reply = std::make_unique<TzvDnsExtendedMessage>();
      if (name.empty() && type == kzvDnsTypeDNSKEY) reply->Answers().Assign(&keys->Answers());
      return std::unique_ptr<TzvDnsMessage>(std::move(reply));
    };
    std::vector<std::unique_ptr<TzvDnsRecord>> anchors;
    anchors.push_back(std::make_unique<TzvDnsDNSKEYRecord>());
    anchors.back()->Assign(&key.record);
    TzvDnssecValidator validator(ask, std::move(anchors), kNow);
    const TzvDnssecResult result = validator.ValidateAnswer(answer);
    EXPECT_EQ(DnssecVerdictText(result.Verdict), DnssecVerdictText(c.verdict)) << result.Reason;
    EXPECT_NE(result.Reason.find(c.reason), std::string::npos) << result.Reason;
  }
}

}  // namespace

namespace {

// A hostile server's tricks end in a verdict, never in an escaping error or a stack that
// runs out: DS answers for one zone that come and go (each insecurity proof asks about
// the zone above again), and an owner whose label is too long to have a canonical form.
TEST(DnssecChain, HostileServersGetAVerdictWithinBoundedWork) {
  long asked = 0;
  const TzvDnssecAsk flapping = [&asked](const std::string& name, std::int32_t type) {
    auto message = std::make_unique<TzvDnsExtendedMessage>();
    if (type == kzvDnsTypeDNSKEY) {
      auto key = std::make_unique<TzvDnsDNSKEYRecord>();
      key->Name = name;
      key->Flags = 257;
      key->Algorithm = 15;
      key->PublicKey.assign(32, 1);
      message->Answers().Add(std::move(key));
    } else if (asked % 2 == 1) {
      auto ds = std::make_unique<TzvDnsDSRecord>();
      ds->Name = name;
      ds->Algorithm = 15;
      ds->DigestType = 2;
      ds->Digest.assign(32, 2);
      message->Answers().Add(std::move(ds));
    }
    ++asked;
    return std::unique_ptr<TzvDnsMessage>(std::move(message));
  };
  const auto answer = [](const std::string& owner) {
    auto message = std::make_unique<TzvDnsExtendedMessage>();
    auto a = std::make_unique<TzvDnsARecord>();
    a->Name = owner;
    a->IPAddress = "192.0.2.1";
    message->Answers().Add(std::move(a));
    auto sig = std::make_unique<TzvDnsRRSIGRecord>();
    sig->Name = owner;
    sig->TypeCovered = kzvDnsTypeA;
    sig->Algorithm = 15;
    sig->Labels = 2;
    sig->SignerName = "a";
    sig->Signature.assign(64, 0);
    message->Answers().Add(std::move(sig));
    auto question = std::make_unique<TzvDnsRecord>();
    question->Name = owner;
    question->RecordType = kzvDnsTypeA;
    message->Queries().Add(std::move(question));
    return message;
  };
  TzvDnssecValidator validator(flapping, BuiltInRootAnchors(), 1750000000);
  TzvDnssecResult result = validator.ValidateAnswer(*answer("www.a"));
  EXPECT_NE(result.Verdict, TzvDnssecVerdict::Secure);
  EXPECT_LE(asked, 254);

  TzvDnssecValidator other(flapping, BuiltInRootAnchors(), 1750000000);
  result = other.ValidateAnswer(*answer(std::string(64, 'x') + ".a"));
  EXPECT_EQ(result.Verdict, TzvDnssecVerdict::Indeterminate) << result.Reason;
}

}  // namespace

namespace {

// ---- answers that must not pass as secure ----

// The root (the trust anchor) and example., whose DS the root holds, each signed here with
// an Ed25519 key of its own.
struct TTree {
  TRootKey root = MakeRootKey();
  TRootKey example = MakeRootKey(0x21);
  TzvDnsExtendedMessage root_keys, ds, example_keys, cdn;
  TTree() {
    Add<TzvDnsDNSKEYRecord>(root_keys.Answers(), "")->Assign(&root.record);
    Sign(root, root_keys.Answers(), "", kzvDnsTypeDNSKEY);
    auto* key = Add<TzvDnsDNSKEYRecord>(example_keys.Answers(), "example");
    key->Assign(&example.record);
    key->Name = "example";
    Sign(example, example_keys.Answers(), "example", kzvDnsTypeDNSKEY, "example");
    std::vector<std::uint8_t> data = DnssecCanonicalName("example");
    const std::uint8_t fixed[] = {static_cast<std::uint8_t>(key->Flags >> 8),
                                  static_cast<std::uint8_t>(key->Flags), key->Protocol,
                                  key->Algorithm};
    data.insert(data.end(), std::begin(fixed), std::end(fixed));
    data.insert(data.end(), key->PublicKey.begin(), key->PublicKey.end());
    auto* ds_record = Add<TzvDnsDSRecord>(ds.Answers(), "example");
    ds_record->KeyTag = key->KeyTag();
    ds_record->Algorithm = key->Algorithm;
    ds_record->DigestType = kzvDsDigestSha256;
    ds_record->Digest = *DnssecDigest(kzvDsDigestSha256, data);
    Sign(root, ds.Answers(), "example", kzvDnsTypeDS);
    Add<TzvDnsARecord>(cdn.Answers(), "cdn.example")->IPAddress = "192.0.2.3";
    SignExample(cdn.Answers(), "cdn.example", kzvDnsTypeA);
  }
  // As a resolver answers: every zone's keys and DS, cdn.example's signed address and
  // REFUSED for lost.example; nothing for any other question.
  std::unique_ptr<TzvDnsMessage> Answer(const std::string& name, std::int32_t type) const {
    auto reply = std::make_unique<TzvDnsExtendedMessage>();
    if (name == "cdn.example" && type == kzvDnsTypeA) reply->Answers().Assign(&cdn.Answers());
    if (name == "lost.example") reply->Header().ResponseCode = 5;
    if (name.empty() && type == kzvDnsTypeDNSKEY) reply->Answers().Assign(&root_keys.Answers());
    if (name == "example" && type == kzvDnsTypeDS) reply->Answers().Assign(&ds.Answers());
    if (name == "example" && type == kzvDnsTypeDNSKEY)
      reply->Answers().Assign(&example_keys.Answers());
    return reply;
  }
  std::vector<std::unique_ptr<TzvDnsRecord>> Anchors() const {
    std::vector<std::unique_ptr<TzvDnsRecord>> anchors;
    anchors.push_back(std::make_unique<TzvDnsDNSKEYRecord>());
    anchors.back()->Assign(&root.record);
    return anchors;
  }
  // The question www.example/A and its signed address.
  void AnswerOfWww(TzvDnsMessage& answer) const {
    Add<TzvDnsRecord>(answer.Queries(), "www.example")->RecordType = kzvDnsTypeA;
    Add<TzvDnsARecord>(answer.Answers(), "www.example")->IPAddress = "192.0.2.1";
    SignExample(answer.Answers(), "www.example", kzvDnsTypeA);
  }
  // Signs the section's records of `owner`/`type` as example.'s.
  void SignExample(TzvDnsRecordList& section, const std::string& owner, std::int32_t type) const {
    Sign(example, section, owner, type, "example");
  }
};

TzvDnsNSECRecord* AddNsec(TzvDnsRecordList& section, const std::string& owner,
                          const std::string& next, std::vector<std::uint16_t> types) {
  auto* nsec = Add<TzvDnsNSECRecord>(section, owner);
  nsec->NextDomainName = next;
  nsec->Types = std::move(types);
  return nsec;
}

// What only a hand-made server can give: a CNAME alone, its target answered apart (or
// refused), and a denial's NSEC set of two records at one name. The signed tree's
// end-to-end cases (tests/dns/DnssecCases_loopback_test.cpp) hold the other forged answers.
TEST(DnssecChain, AnswersThatMustNotPassAsSecure) {
  using V = TzvDnssecVerdict;
  struct TCase {
    const char* cname;  // the signed CNAME that stands for www.example's address, if any
    int nsecs;          // or how many NSEC records of www.example deny it
    V verdict;
    const char* reason;
  };
  const TCase cases[] = {
      {nullptr, 0, V::Secure, ""},
      // A server that does not serve the target's zone gives the CNAME alone: the target
      // is asked for itself, and its own answer judged.
      {"cdn.example", 0, V::Secure, ""},
      {"lost.example", 0, V::Indeterminate,
       "the CNAME's target lost.example was not answered (REFUSED)"},
      // KeyTrap's set: a name has one NSEC, so many records at one owner are no proof.
      {nullptr, 2, V::Bogus, "the denial's NSEC set holds 2 records where a name has one"},
  };
  const TTree tree;
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.cname ? c.cname : "") + " " + std::to_string(c.nsecs));
    TzvDnsExtendedMessage answer;
    tree.AnswerOfWww(answer);
    if (c.cname != nullptr || c.nsecs > 0) answer.Answers().Clear();
    if (c.cname != nullptr) {
      Add<TzvDnsCNAMERecord>(answer.Answers(), "www.example")->CanonicalName = c.cname;
      tree.SignExample(answer.Answers(), "www.example", kzvDnsTypeCNAME);
    }
    for (int i = 0; i < c.nsecs; ++i)
      AddNsec(answer.Authorities(), "www.example",
              std::string(1, static_cast<char>('x' + i)) + ".example", {kzvDnsTypeTXT});
    if (c.nsecs > 0) tree.SignExample(answer.Authorities(), "www.example", kzvDnsTypeNSEC);
    TzvDnssecValidator validator(
        [&tree](const std::string& name, std::int32_t type) { return tree.Answer(name, type); },
        tree.Anchors(), kNow);
    const TzvDnssecResult result = validator.ValidateAnswer(answer);
    EXPECT_EQ(DnssecVerdictText(result.Verdict), DnssecVerdictText(c.verdict)) << result.Reason;
    EXPECT_NE(result.Reason.find(c.reason), std::string::npos) << result.Reason;
    EXPECT_TRUE(result.Covered);
  }
}

// A server that answers for its own zone alone gets a verdict within a few questions,
// and no zone is asked about twice.
TEST(DnssecChain, AServerOfOneZoneIsAskedEachQuestionOnce) {
  const TTree tree;
  TzvDnsExtendedMessage answer;
  tree.AnswerOfWww(answer);
  // example.'s own server: its keys, its apex for the DS question, REFUSED for the root.
  std::vector<std::pair<std::string, std::int32_t>> asked;
  const TzvDnssecAsk own_server = [&](const std::string& name, std::int32_t type) {
    asked.emplace_back(name, type);
    auto reply = std::make_unique<TzvDnsExtendedMessage>();
    if (name != "example") {
      reply->Header().ResponseCode = 5;
    } else if (type == kzvDnsTypeDNSKEY) {
      reply->Answers().Assign(&tree.example_keys.Answers());
    } else {
      AddNsec(reply->Authorities(), "example", "www.example",
              {kzvDnsTypeSOA, kzvDnsTypeNS, kzvDnsTypeDNSKEY});
      tree.SignExample(reply->Authorities(), "example", kzvDnsTypeNSEC);
    }
    return std::unique_ptr<TzvDnsMessage>(std::move(reply));
  };
  TzvDnssecValidator validator(own_server, tree.Anchors(), kNow);
  const TzvDnssecResult result = validator.ValidateAnswer(answer);
  EXPECT_EQ(result.Verdict, TzvDnssecVerdict::Indeterminate) << result.Reason;
  EXPECT_EQ(result.Reason, "this server does not answer for the parent zone of example");
  EXPECT_TRUE(result.Covered);
  EXPECT_LE(asked.size(), 3u);
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(std::adjacent_find(asked.begin(), asked.end()), asked.end());
}

// The keys and DS records from the anchor down to the signer are asked together before
// the answer is judged, and not again; any left unanswered are asked one by one as the
// validation needs them, and a stop while they are asked ends the validation.
TEST(DnssecChain, ForeseenQuestionsAreAskedTogetherOnce) {
  const TTree tree;
  TzvDnsExtendedMessage answer;
  tree.AnswerOfWww(answer);
  struct TCase {
    const char* what;
    bool answered;  // the questions asked together get their answers
    bool stop;
    std::size_t alone;  // questions then asked one by one
    TzvDnssecVerdict verdict;
  };
  const TCase cases[] = {
      {"answered together", true, false, 0, TzvDnssecVerdict::Secure},
      {"left unanswered", false, false, 3, TzvDnssecVerdict::Secure},
      {"stopped", false, true, 0, TzvDnssecVerdict::Indeterminate},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t alone = 0;
    std::vector<std::pair<std::string, std::int32_t>> together;
    TzvDnssecValidator validator(
        [&](const std::string& name, std::int32_t type) {
          ++alone;
          return tree.Answer(name, type);
        },
        tree.Anchors(), kNow,
        [&](const std::vector<TzvDnssecQuestion>& questions) {
          std::vector<std::unique_ptr<TzvDnsMessage>> answers;
          for (const TzvDnssecQuestion& question : questions) {
            together.emplace_back(question.Name, question.Type);
            answers.push_back(c.answered ? tree.Answer(question.Name, question.Type) : nullptr);
          }
          if (c.stop) throw EzvSocketError(SzvAborted, kzvErrAborted);
          return answers;
        });
    const TzvDnssecResult result = validator.ValidateAnswer(answer);
    EXPECT_EQ(DnssecVerdictText(result.Verdict), DnssecVerdictText(c.verdict)) << result.Reason;
    if (c.stop) {
      EXPECT_EQ(result.Reason, SzvAborted);
    }
    std::sort(together.begin(), together.end());
    const std::vector<std::pair<std::string, std::int32_t>> chain = {
        {"", kzvDnsTypeDNSKEY}, {"example", kzvDnsTypeDS}, {"example", kzvDnsTypeDNSKEY}};
    EXPECT_EQ(together, chain);
    EXPECT_EQ(alone, c.alone);
  }
}

}  // namespace
