// The window's lookup carried out by the library's query component, TzvDnsQuery; the
// program's real lookups go through it, the window's tests use scripted ones instead.
#pragma once

#include <memory>
#include <vector>

#include "app/DnsLookup.h"

std::unique_ptr<TDnsLookup> CreateDnsQueryLookup();

// The trust anchors the window's DNSSEC checks start from: the root's keys, or those of
// the file PELLAMAR_TRUST_ANCHOR names (a private tree or a test bed; the window has no
// field for it). Fails as ReadTrustAnchorFile does.
std::vector<std::unique_ptr<TzvDnsRecord>> WindowTrustAnchors();
