#include <functional>
#include <vector>

#include <gtest/gtest.h>
#include "dns/zvDnsMessage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Writes the record with a root owner name and returns its data bytes; checks that
// DataLength tells their number.
Bytes DataOf(TzvDnsRecord& record) {
  TzvByteArray buffer(512);
  std::int32_t position = 0;
  record.WriteRecord(buffer, position);
  const Bytes data(buffer.Data() + 11, buffer.Data() + position);
  EXPECT_EQ(record.DataLength, static_cast<std::int32_t>(data.size()));
  EXPECT_EQ(ComposeWord(buffer[9], buffer[10]), data.size());
  return data;
}

// Reads data bytes into a record through ReadRecord, as a message does.
void ParseInto(TzvDnsRecord& record, Bytes data) {
  Bytes bytes = {
      0x00, 0x00, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(data.size())};
  bytes.insert(bytes.end(), data.begin(), data.end());
  std::int32_t position = 0;
  record.ReadRecord(TzvByteArray(bytes), position);
  EXPECT_EQ(position, static_cast<std::int32_t>(bytes.size()));
}

std::int32_t ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EzvDnsError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(ARecord, WritesFourDottedParts) {
  TzvDnsARecord record;
  const std::pair<const char*, Bytes> table[] = {
      {"192.168.0.1", {0xC0, 0xA8, 0x00, 0x01}},
      {"300.1.1.1", {0x2C, 0x01, 0x01, 0x01}},  // only the low 8 bits are kept
      {"-1.0.0.0", {0xFF, 0x00, 0x00, 0x00}},
      {"1..2.3.4", {0x01, 0x02, 0x03, 0x04}},  // empty parts are passed over
  };
  for (const auto& [address, data] : table) {
    record.IPAddress = address;
    EXPECT_EQ(DataOf(record), data) << address;
  }
}

TEST(ARecord, RefusesAddressesThatAreNotFourIntegers) {
  for (const char* address : {"", "1.2.3", "1.2.3.4.5", "a.2.3.4", "1.2.3.4x"}) {
    TzvDnsARecord record;
    record.IPAddress = address;
    try {
      DataOf(record);
      FAIL() << "accepted '" << address << "'";
    } catch (const EzvDnsError& e) {
      EXPECT_EQ(e.ErrorCode(), 2);
      EXPECT_STREQ(e.what(), "Server failure");
    }
  }
}

TEST(MXRecord, WritesPreferenceThenMailServer) {
  TzvDnsMXRecord record;
  record.Preference = 10;
  record.MailServer = "mx.a.bb";
  EXPECT_EQ(DataOf(record), Bytes({0x00, 0x0A, 0x02, 'm', 'x', 0x01, 'a', 0x02, 'b', 'b', 0x00}));
  ParseInto(record, {0xFF, 0xFF, 0x00});
  EXPECT_EQ(record.Preference, 65535);
  EXPECT_EQ(record.MailServer, "");
}

TEST(SOARecord, WritesEmptyNamesAsRootAndValuesInWireOrder) {
  TzvDnsSOARecord record;
  EXPECT_EQ(DataOf(record), Bytes(22, 0x00));
  record.SerialNumber = 1;
  record.Refresh = 2;
  record.Retry = 3;
  record.Expire = 4;
  record.MinimumTTL = 5;
  const Bytes data = DataOf(record);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(data[2 + 4 * i + 3], i + 1);
}

TEST(TXTRecord, KeepsOnlyTheFirstStringAndWritesOverlongTextEmpty) {
  TzvDnsTXTRecord record;
  ParseInto(record, {0x02, 'a', 'b', 0x01, 'c'});
  EXPECT_EQ(record.Text, "ab");
  EXPECT_EQ(record.DataLength, 5);
  record.Text = std::string(300, 't');
  EXPECT_EQ(DataOf(record), Bytes({0x00}));
}

TEST(RecordData, EmptyTargetsCannotBeEncoded) {
  TzvDnsMXRecord mx;
  TzvDnsNSRecord ns;
  TzvDnsPTRRecord ptr;
  TzvDnsCNAMERecord cname;
  TzvDnsTXTRecord txt;
  for (TzvDnsRecord* record : std::initializer_list<TzvDnsRecord*>{&mx, &ns, &ptr, &cname, &txt}) {
    TzvByteArray buffer(512);
    std::int32_t position = 0;
    EXPECT_EQ(ErrorCodeOf([&] { record->BuildData(buffer, position); }), 2) << record->ClassName();
  }
}

TEST(RecordData, NameTargetsRoundTripAndCompressedOnesUseTwoBytes) {
  TzvDnsCNAMERecord cname;
  cname.CanonicalName = "c.bb";
  EXPECT_EQ(DataOf(cname), Bytes({0x01, 'c', 0x02, 'b', 'b', 0x00}));
  // The CNAME's data is only a pointer back to the owner name "bb" at offset 0.
  const Bytes bytes = {0x02, 'b', 'b', 0x00, 0x00, 0x05, 0x00, 0x01,
                       0,    0,   0,   0,    0x00, 0x02, 0xC0, 0x00};
  std::int32_t position = 0;
  cname.ReadRecord(TzvByteArray(bytes), position);
  EXPECT_EQ(cname.CanonicalName, "bb");
  EXPECT_EQ(cname.DataLength, 2);
  EXPECT_EQ(position, 16);

  TzvDnsPTRRecord ptr;
  ParseInto(ptr, {0x01, 'p', 0x00});
  EXPECT_EQ(ptr.DomainName, "p");
  TzvDnsNSRecord ns;
  ParseInto(ns, {0x01, 'n', 0x00});
  EXPECT_EQ(ns.NameServer, "n");
}

TEST(RecordAssign, CopiesOwnFieldsOnlyFromTheSameClass) {
  TzvDnsNSRecord ns;
  ns.Name = "a.bb";
  ns.RecordClass = rcHesiod;
  ns.TTL = 9;
  ns.DataLength = 4;
  ns.NameServer = "ns.bb";
  TzvDnsMXRecord mx;
  mx.Preference = 5;
  mx.MailServer = "m.bb";
  mx.Assign(&ns);
  EXPECT_EQ(mx.Name, "a.bb");
  EXPECT_EQ(mx.RecordType, kzvDnsTypeNS);
  EXPECT_EQ(mx.RecordClass, rcHesiod);
  EXPECT_EQ(mx.TTL, 9u);
  EXPECT_EQ(mx.DataLength, 4);
  EXPECT_EQ(mx.Preference, 5);
  EXPECT_EQ(mx.MailServer, "m.bb");

  // A copy through the virtual constructor carries every field of the class.
  TzvDnsSOARecord soa;
  soa.PrimaryNameServer = "p";
  soa.ResponsibleMailbox = "r";
  soa.SerialNumber = 1;
  soa.Refresh = 2;
  soa.Retry = 3;
  soa.Expire = 4;
  soa.MinimumTTL = 5;
  const auto copy = soa.Create();
  copy->Assign(&soa);
  EXPECT_EQ(DataOf(*copy), DataOf(soa));
}

TEST(RecordAssign, RefusesWhatIsNotARecord) {
  TzvDnsMXRecord mx;
  try {
    mx.Assign(nullptr);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a nil to a TzvDnsMXRecord");
  }
  TzvDnsRecordList list;
  try {
    mx.Assign(&list);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TzvDnsRecordList to a TzvDnsMXRecord");
  }
}

TEST(CreateRecord, MakesTheTypedClassAndVirtualCreateKeepsIt) {
  TzvDnsMessage message;
  const std::pair<std::int32_t, const char*> table[] = {
      {1, "TzvDnsARecord"},    {2, "TzvDnsNSRecord"},   {5, "TzvDnsCNAMERecord"},
      {6, "TzvDnsSOARecord"},  {12, "TzvDnsPTRRecord"}, {15, "TzvDnsMXRecord"},
      {16, "TzvDnsTXTRecord"}, {28, "TzvDnsRecord"},    {0, "TzvDnsRecord"}};
  for (const auto& [type, name] : table) {
    const auto record = message.CreateRecord(type);
    EXPECT_EQ(record->ClassName(), name);
    EXPECT_EQ(record->RecordType, type == 28 ? 0 : type);
    EXPECT_EQ(record->Create()->ClassName(), name);
    EXPECT_EQ(record->RecordClass, rcInternet);
  }
}

}  // namespace
