// The window's lookup carried out by the library's query component, TzvDnsQuery; the
// program's real lookups go through it, the window's tests use scripted ones instead.
#pragma once

#include <memory>

#include "app/DnsLookup.h"

std::unique_ptr<TDnsLookup> CreateDnsQueryLookup();
