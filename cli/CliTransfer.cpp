#include "cli/CliTransfer.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "base/Version.h"
#include "cli/CliRunner.h"
#include "cli/DigText.h"
#include "cli/JsonText.h"
#include "cli/RecordJson.h"
#include "cli/ResultText.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsTransfer.h"
#include "dns/zvDnsTsig.h"

namespace {

constexpr const char* kProgram = "pellamar-cli: ";

const char* PartName(TzvXfrPart part) {
  return part == TzvXfrPart::xpDeleted ? "deleted" : part == TzvXfrPart::xpAdded ? "added" : "zone";
}

// Writes each record as it comes; an IXFR's difference sequences each under a line that
// says what it does.
class TPrinter : public TzvDnsTransferVisitor {
 public:
  TPrinter(std::ostream& out, const TCliOptions& options) : out_(out), options_(options) {}
  ~TPrinter() override { Flush(); }

  // The lines go out in pieces of some 64 KiB: a zone of a million records costs a few
  // hundred writes, and no more than a piece waits in memory.
  void Flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }

  void OnRecord(const TzvDnsRecord& record, TzvXfrPart part) override {
    const bool soa = record.RecordType == kzvDnsTypeSOA;
    ++records_;
    // +onesoa: the closing SOA repeats the opening one.
    if (options_.Dig.OneSoa && soa && records_ > 1 && part == TzvXfrPart::xpZone) return;
    const bool json = options_.Output == TCliOutput::coJson;
    if (part != part_ || (soa && part != TzvXfrPart::xpZone)) {
      part_ = part;
      if (part != TzvXfrPart::xpZone && soa) {
        const auto serial = static_cast<const TzvDnsSOARecord&>(record).SerialNumber;
        if (json)
          buffer_ += std::string("{\"ixfr\":\"") + PartName(part) +
                     "\",\"serial\":" + std::to_string(serial) + "}\n";
        else if (options_.Output != TCliOutput::coShort && options_.Dig.Comments)
          buffer_ +=
              std::string(";; ") + PartName(part) + " (serial " + std::to_string(serial) + ")\n";
      }
    }
    if (json) {
      TJsonWriter writer;
      WriteRecordJson(writer, record);
      buffer_ += writer.Text();
    } else if (options_.Output == TCliOutput::coShort) {
      buffer_ += record.DataText(TzvDnsTextStyle::Dig);
    } else {
      buffer_ += DigRecordLine(record, options_.Dig);
    }
    buffer_ += '\n';
    if (buffer_.size() >= 65536) Flush();
  }

 private:
  std::ostream& out_;
  const TCliOptions& options_;
  TzvXfrPart part_ = TzvXfrPart::xpZone;
  std::int64_t records_ = 0;
  std::string buffer_;
};

std::string WhenText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Z %Y", &local);
  return text;
}

}  // namespace

bool IsTransferQuestion(const TCliOptions& options) {
  return options.QueryType == kzvDnsTypeAXFR || options.QueryType == kzvDnsTypeIXFR;
}

int RunTransfer(const TCliOptions& options, std::ostream& out, std::ostream& err) {
  if (!options.Server || options.Servers.size() > 1 || options.Https) {
    err << kProgram << "a zone transfer asks one server, named with @SERVER, over TCP or TLS\n"
        << CliUsage();
    return kCliUsageError;
  }
  const bool dig = options.Output == TCliOutput::coDig ||
                   options.Output == TCliOutput::coSections || options.Output == TCliOutput::coYaml;
  TzvDnsExchangeSettings settings = ExchangeSettingsOf(options);
  TzvDnsTransferRequest request;
  request.Zone = options.Name;
  request.Incremental = options.QueryType == kzvDnsTypeIXFR;
  request.Serial = options.IxfrSerial;
  request.WholeTimeOut = options.XfrTimeOutSeconds > 0 ? options.XfrTimeOutSeconds * 1000 : -1;
  request.MaxRecords = options.XfrMaxRecords;
  request.DatagramFirst = options.NoTcp;
  if (dig && options.Dig.Cmd)
    out << "\n; <<>> pellamar-cli " << kPellamarVersion << " <<>> " << options.CommandLine
        << "\n; (1 server found)\n;; global options: +cmd\n";
  TzvDnsQuery query(nullptr);
  TPrinter printer(out, options);
  TzvDnsTransferResult result;
  try {
    result = query.Transfer(settings, request, printer);
  } catch (const EzvSocketError& error) {
    printer.Flush();
    if (dig) out << "; Transfer failed.\n";
    err << kProgram << EscapedName(error.Message()) << " (" << error.ErrorCode() << ")\n";
    const std::int32_t code = error.ErrorCode();
    const bool reply =
        dynamic_cast<const EzvDnsError*>(&error) != nullptr && code >= 1 && code <= 4095;
    return reply ? kCliServerError : kCliNoAnswer;
  }
  printer.Flush();
  if (options.Verbose)
    err << ";; transfer from " << result.ServerAddress << " port " << result.Port << ": "
        << result.Records << " records, " << result.Messages << " messages"
        << (settings.Tsig ? ", " + std::to_string(result.SignedMessages) + " signed" : "")
        << (request.Incremental ? result.Form == TzvXfrForm::xfUpToDate      ? ", up to date"
                                  : result.Form == TzvXfrForm::xfIncremental ? ", incremental"
                                                                             : ", whole zone"
                                : "")
        << '\n';
  if (dig && options.Dig.Stats) {
    out << ";; Query time: " << result.ElapsedMicroseconds / 1000 << " msec\n"
        << ";; SERVER: " << result.ServerAddress << '#' << result.Port << '('
        << EscapedName(*options.Server) << ") (" << DnsTransportName(result.Transport) << ")\n"
        << ";; WHEN: " << WhenText() << '\n'
        << ";; XFR size: " << result.Records << " records (messages " << result.Messages
        << ", bytes " << result.Bytes << ")\n\n";
  }
  return kCliSuccess;
}
