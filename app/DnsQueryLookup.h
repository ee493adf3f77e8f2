// The window's lookup carried out by the library's query component, TzvDnsQuery. Built
// only when the component is part of the library.
#pragma once

#include <memory>

#include "app/DnsLookup.h"

std::unique_ptr<TDnsLookup> CreateDnsQueryLookup();
