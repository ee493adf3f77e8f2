#include "cli/SeveralServers.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <system_error>
#include <thread>

#include "cli/ResultText.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvUtils.h"

namespace {

std::string CodeText(const TServerAnswer& answer, const TAgreementWords& words) {
  return answer.Answered ? DnsResponseCodeName(answer.ResponseCode) : words.NoAnswer;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

}  // namespace

TServerAnswer ServerAnswerOf(const std::string& server, const TzvDnsMessage* response) {
  TServerAnswer answer;
  answer.Server = server;
  if (response == nullptr) return answer;
  answer.Answered = true;
  answer.ResponseCode = response->Header().ResponseCode;
  for (const auto& record : response->Answers()) {
    if (record->RecordType == kzvDnsTypeOPT) continue;
    answer.Records.push_back(DomainText(record->Name) + ' ' + DnsTypeText(record->RecordType) +
                             ' ' + RecordDataText(*record));
  }
  std::sort(answer.Records.begin(), answer.Records.end());
  answer.Records.erase(std::unique(answer.Records.begin(), answer.Records.end()),
                       answer.Records.end());
  for (const TzvDnsRecordList* section : {&response->Answers(), &response->Authorities()})
    for (const auto& record : *section)
      if (const auto* soa = dynamic_cast<const TzvDnsSOARecord*>(record.get());
          soa != nullptr && !answer.Serial)
        answer.Serial = soa->SerialNumber;
  return answer;
}

std::vector<std::string> AgreementLines(const std::vector<TServerAnswer>& answers,
                                        const TAgreementWords& words) {
  std::vector<std::string> differences;
  const auto same_code = [&](const TServerAnswer& a) {
    return a.Answered == answers.front().Answered && a.ResponseCode == answers.front().ResponseCode;
  };
  if (!std::all_of(answers.begin(), answers.end(), same_code)) {
    std::vector<std::string> codes;
    for (const TServerAnswer& answer : answers)
      codes.push_back(EscapedName(answer.Server) + ' ' + CodeText(answer, words));
    differences.push_back(words.Response + Joined(codes));
  }
  // Each record with the servers holding it, in the records' order.
  std::map<std::string, std::vector<std::string>> holders;
  for (const TServerAnswer& answer : answers)
    for (const std::string& record : answer.Records)
      holders[record].push_back(EscapedName(answer.Server));
  for (const auto& [record, servers] : holders)
    if (servers.size() != answers.size())
      differences.push_back(";;   " + record + words.OnlyFrom + Joined(servers));
  const bool serials_differ = std::any_of(answers.begin(), answers.end(), [&](const auto& a) {
    return a.Serial != answers.front().Serial;
  });
  if (serials_differ) {
    std::vector<std::string> serials;
    for (const TServerAnswer& answer : answers)
      serials.push_back(EscapedName(answer.Server) + ' ' +
                        (answer.Serial ? std::to_string(*answer.Serial) : "-"));
    differences.push_back(words.Serial + Joined(serials));
  }
  std::vector<std::string> lines = {differences.empty() ? words.Agree : words.Differ};
  lines.insert(lines.end(), differences.begin(), differences.end());
  return lines;
}

bool AnswersAgree(const std::vector<TServerAnswer>& answers) {
  return AgreementLines(answers).size() == 1;
}

void AskEachServer(std::size_t count, const std::function<void(std::size_t)>& ask) {
  std::atomic<std::size_t> next = 0;
  const auto take_servers = [&] {
    for (std::size_t server = next++; server < count; server = next++) ask(server);
  };
  std::vector<std::jthread> threads;
  threads.reserve(std::min(count, kServersAtOnce));
  // A system short of threads gives fewer places, never a failure: the threads there are
  // take the others' servers, and without any this one asks them all in turn.
  try {
    while (threads.size() < std::min(count, kServersAtOnce)) threads.emplace_back(take_servers);
  } catch (const std::system_error&) {
  }
  if (threads.empty()) take_servers();
}
