#include "dns/zvDnsSessionOptions.h"

#include <algorithm>

#include "base/Classes.h"

TzvDnsOPTRecord* MutableOptRecord(TzvDnsMessage& message) {
  for (const auto& record : message.AdditionalRecords())
    if (auto* opt = dynamic_cast<TzvDnsOPTRecord*>(record.get())) return opt;
  return nullptr;
}

void PutEdnsOption(TzvDnsMessage& message, std::uint16_t code,
                   std::optional<std::vector<std::uint8_t>> data) {
  TzvDnsOPTRecord* opt = MutableOptRecord(message);
  if (opt == nullptr) return;
  std::erase_if(opt->Options, [code](const TzvEdnsOption& option) { return option.Code == code; });
  if (!data) return;
  // Before any padding, which measures everything else and so stays last.
  const auto padding =
      std::find_if(opt->Options.begin(), opt->Options.end(),
                   [](const TzvEdnsOption& option) { return option.Code == kzvEdnsOptionPadding; });
  opt->Options.insert(padding, TzvEdnsOption{code, std::move(*data)});
}

void PadMessage(TzvDnsMessage& message, std::int32_t block) {
  PutEdnsOption(message, kzvEdnsOptionPadding, std::nullopt);
  if (block <= 0 || MutableOptRecord(message) == nullptr) return;
  TMemoryStream stream;
  message.Build(stream);
  // The option's own four bytes count too.
  const std::int64_t unpadded = stream.Size() + 4;
  const std::int64_t fill = (block - unpadded % block) % block;
  PutEdnsOption(message, kzvEdnsOptionPadding,
                std::vector<std::uint8_t>(static_cast<std::size_t>(fill), 0));
}

std::optional<std::chrono::milliseconds> KeepaliveTimeOut(const TzvDnsMessage& answer) {
  const TzvDnsOPTRecord* opt = FindOptRecord(answer);
  const TzvEdnsOption* option = opt != nullptr ? opt->FindOption(kzvEdnsOptionKeepalive) : nullptr;
  if (option == nullptr || option->Data.size() != 2) return std::nullopt;
  // In units of 100 ms.
  return std::chrono::milliseconds((option->Data[0] << 8 | option->Data[1]) * 100);
}
