// One record as a JSON object, the same in every report that holds records (a lookup's
// sections, a batch's lines, each of several servers, each step of a trace): its owner,
// type, class and time to live, its own fields as its class names them (dns/'s
// VisitFields: "preference", "exchange", "key_tag", "params", ...), and "data", its text as
// the sections output shows it.
#pragma once

#include "cli/JsonText.h"
#include "dns/zvDnsMessage.h"

// Names as the sections output shows them ("." for the root), with "name_unicode" beside
// an owner in A-label form; texts made safe as names are; hex in lower case.
void WriteRecordJson(TJsonWriter& json, const TzvDnsRecord& record);

// The message's Extended DNS Errors as the value of "ede": a list of {code, name (null
// for a code IANA names not), text (escaped and cut as everywhere)}; empty without any.
void WriteExtendedErrorsJson(TJsonWriter& json, const TzvDnsMessage* message);
