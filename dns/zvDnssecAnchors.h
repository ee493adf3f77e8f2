// DNSSEC's trust anchors: the keys a chain of trust starts from. The root's keys as IANA
// publishes them, as the system keeps them (Debian's copy), or as a file of them in
// zone-file form names them (DS or DNSKEY records, of any zone).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dns/zvDnsMessage.h"

// The root's trust anchors: the keys IANA publishes (KSK-2017, tag 20326, and KSK-2024,
// tag 38696), as DNSKEY records of ".".
std::vector<std::unique_ptr<TzvDnsRecord>> BuiltInRootAnchors();

// Trust anchors in zone-file form, a record a line (". IN DS 20326 8 2 E06D..." or
// ". 172800 IN DNSKEY 257 3 8 AwEA..."), as unbound's anchor files and Debian's
// /usr/share/dns/root.key hold them; ";" starts a comment. Other lines fail with the
// codec's error naming the line.
std::vector<std::unique_ptr<TzvDnsRecord>> ReadTrustAnchors(const std::string& text);

// The trust anchors of a file in that form; fails with the codec's error, naming the file,
// when it cannot be read or holds none.
std::vector<std::unique_ptr<TzvDnsRecord>> ReadTrustAnchorFile(const std::string& path);

// Where Debian keeps the root's keys current (package dns-root-data).
inline constexpr const char* kzvDebianRootKeyFile = "/usr/share/dns/root.key";

// The root's keys as the system keeps them (`file`, Debian's copy), so a key rollover
// reaches us with the system's updates; the built-in keys when that file is missing or
// cannot be used.
std::vector<std::unique_ptr<TzvDnsRecord>> DefaultTrustAnchors(
    const std::string& file = kzvDebianRootKeyFile);
