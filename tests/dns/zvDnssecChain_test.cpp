// Trust anchors: the built-in root keys (beside Debian's copy when it is there) and the
// zone-file lines anchors are read from.
#include "dns/zvDnssecChain.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

}  // namespace
