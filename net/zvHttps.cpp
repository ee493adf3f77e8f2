#include "net/zvHttps.h"

#include <dlfcn.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

#include "base/Base64.h"
#include "base/ScopeExit.h"
#include "net/zvSocketUtils.h"
#include "net/zvTls.h"

namespace {

constexpr std::string_view kDnsMessageType = "application/dns-message";

[[noreturn]] void Refuse(const std::string& reason) {
  throw EzvSocketError("DNS over HTTPS: " + reason, kzvErrHttp);
}

[[noreturn]] void ClosedEarly() {
  throw EzvSocketError("the server closed the connection before the HTTP answer was complete",
                       kzvConnectionReset);
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Text from the server, shown in a message: printable ASCII only, and not much of it.
std::string Shown(std::string_view text) {
  std::string shown;
  for (char c : text.substr(0, 60)) shown += (c >= 0x20 && c < 0x7F) ? c : '?';
  return shown;
}

// What the status and the content type say before the body is read: why it cannot be a
// DNS answer, or nothing. A parameter after the type (";charset=...") is allowed.
std::optional<std::string> HeadProblem(int status, std::string_view content_type) {
  if (status != 200) return "the server answered HTTP status " + std::to_string(status);
  const std::string_view type = Trimmed(content_type.substr(0, content_type.find(';')));
  if (type.empty()) return std::string("the server's answer has no content type");
  if (!SameText(type, kDnsMessageType))
    return "the server answered with content type '" + Shown(type) + "', not " +
           std::string(kDnsMessageType);
  return std::nullopt;
}

std::string TooLarge() {
  return "the server's answer is larger than " + std::to_string(kzvHttpsMostAnswer) +
         " bytes, the most a DNS message can be";
}

// Reads a number of decimal (base 10) or hexadecimal (16) digits alone, up to `most`.
std::optional<std::size_t> ReadCount(std::string_view digits, int base, std::size_t most) {
  if (digits.empty() || digits.size() > 16) return std::nullopt;
  std::size_t value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
      digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    else
      return std::nullopt;
    value = value * static_cast<std::size_t>(base) + static_cast<std::size_t>(digit);
    // Anything past the bound is too large whatever its exact value.
    if (value > most) return most + 1;
  }
  return value;
}

std::string Target(const TzvHttpsRequest& request) {
  if (!request.Get) return request.Path;
  const char separator = request.Path.find('?') == std::string::npos ? '?' : '&';
  return request.Path + separator + "dns=" + Base64UrlEncode(request.Message);
}

// ---- HTTP/1.1 ----

// The response as it arrives, read only as far as it is needed.
class TResponseReader {
 public:
  explicit TResponseReader(const TzvHttpsChannel& channel) : channel_(channel) {}

  // The next line without its CRLF (a bare LF ends one too), at most `most` bytes long.
  std::string_view Line(std::size_t most, const char* what) {
    for (;;) {
      const std::size_t end = buffer_.find('\n', position_);
      if (end != std::string::npos) {
        if (end - position_ > most) Refuse(std::string(what) + " is too long");
        std::string_view line(buffer_.data() + position_, end - position_);
        position_ = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
      }
      if (buffer_.size() - position_ > most) Refuse(std::string(what) + " is too long");
      if (!Fill()) ClosedEarly();
    }
  }

  // Appends `count` bytes of the response to `body`.
  void Take(std::size_t count, std::vector<std::uint8_t>& body) {
    while (buffer_.size() - position_ < count)
      if (!Fill()) ClosedEarly();
    body.insert(body.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(position_),
                buffer_.begin() + static_cast<std::ptrdiff_t>(position_ + count));
    position_ += count;
  }

  // Everything until the server closes, failing once more than `most` bytes came.
  void TakeToEnd(std::size_t most, std::vector<std::uint8_t>& body) {
    while (buffer_.size() - position_ <= most && Fill()) {
    }
    if (buffer_.size() - position_ > most) Refuse(TooLarge());
    Take(buffer_.size() - position_, body);
  }

 private:
  bool Fill() {
    // What was read already goes, so the buffer holds no more than one piece beyond the
    // bound of what is being read.
    buffer_.erase(0, position_);
    position_ = 0;
    TMemoryStream received;
    const bool open = channel_.Read(received);
    buffer_.append(reinterpret_cast<const char*>(received.Memory()),
                   static_cast<std::size_t>(received.Size()));
    return open || received.Size() > 0;
  }

  const TzvHttpsChannel& channel_;
  std::string buffer_;
  std::size_t position_ = 0;
};

constexpr std::size_t kMostLine = 8192;
constexpr int kMostHeaders = 100;
// Informational answers (1xx) passed over before the real one: a server has a reason for
// one or two (100 Continue, 103 Early Hints), none for an endless run of them.
constexpr int kMostInformational = 8;

std::string TooManyInformational() {
  return "the server sent more than " + std::to_string(kMostInformational) +
         " informational answers (1xx) before its answer";
}

TzvHttpsResponse ExchangeHttp1(const TzvHttpsChannel& channel, const TzvHttpsRequest& request) {
  std::string head = (request.Get ? "GET " : "POST ") + Target(request) + " HTTP/1.1\r\n" +
                     "Host: " + request.Authority + "\r\n" +
                     "Accept: " + std::string(kDnsMessageType) + "\r\n";
  if (!request.Get)
    head += "Content-Type: " + std::string(kDnsMessageType) + "\r\n" +
            "Content-Length: " + std::to_string(request.Message.size()) + "\r\n";
  // One question a connection: the server may end an answer of unknown length by closing.
  head += "Connection: close\r\n\r\n";
  std::vector<std::uint8_t> bytes(head.begin(), head.end());
  if (!request.Get) bytes.insert(bytes.end(), request.Message.begin(), request.Message.end());
  channel.Write(bytes.data(), bytes.size());

  TResponseReader reader(channel);
  int status = 0;
  std::string content_type;
  // The body's length, when the server gave one (-1: until it closes).
  std::int64_t length = -1;
  bool chunked = false;
  // Informational answers (100 Continue) come before the real one and are passed over.
  int informational = 0;
  do {
    if (informational++ > kMostInformational) Refuse(TooManyInformational());
    const std::string_view line = reader.Line(kMostLine, "the server's status line");
    if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ' ||
        (line.size() > 12 && line[12] != ' '))
      Refuse("the server's answer is not HTTP/1.1: '" + Shown(line) + "'");
    const auto code = ReadCount(line.substr(9, 3), 10, 999);
    if (!code) Refuse("the server's status line has no status: '" + Shown(line) + "'");
    status = static_cast<int>(*code);
    content_type.clear();
    length = -1;
    chunked = false;
    for (int count = 0;; ++count) {
      const std::string_view header = reader.Line(kMostLine, "a header of the server's answer");
      if (header.empty()) break;
      const std::size_t colon = header.find(':');
      if (count == kMostHeaders || colon == std::string_view::npos || colon == 0 ||
          header[0] == ' ' || header[0] == '\t')
        Refuse("the server's answer has a malformed header: '" + Shown(header) + "'");
      const std::string_view name = header.substr(0, colon);
      const std::string_view value = Trimmed(header.substr(colon + 1));
      if (SameText(name, "Content-Type")) {
        content_type = value;
      } else if (SameText(name, "Content-Length")) {
        const auto given = ReadCount(value, 10, kzvHttpsMostAnswer);
        // Two different lengths could make the body end at either: refused.
        if (!given || (length >= 0 && static_cast<std::size_t>(length) != *given))
          Refuse("the server's answer has a malformed length: '" + Shown(value) + "'");
        length = static_cast<std::int64_t>(*given);
      } else if (SameText(name, "Transfer-Encoding")) {
        const std::size_t comma = value.rfind(',');
        const std::string_view last =
            Trimmed(comma == std::string_view::npos ? value : value.substr(comma + 1));
        if (!SameText(last, "chunked"))
          Refuse("the server's answer has a transfer coding this client does not read: '" +
                 Shown(value) + "'");
        chunked = true;
      }
    }
  } while (status >= 100 && status < 200);

  if (auto problem = HeadProblem(status, content_type)) Refuse(*problem);
  TzvHttpsResponse response{"HTTP/1.1", {}};
  std::vector<std::uint8_t>& body = response.Body;
  if (chunked) {
    for (;;) {
      const std::string_view line = reader.Line(kMostLine, "a chunk's size");
      const auto size = ReadCount(Trimmed(line.substr(0, line.find(';'))), 16, kzvHttpsMostAnswer);
      if (!size) Refuse("the server's answer has a malformed chunk size: '" + Shown(line) + "'");
      if (*size == 0) break;  // what trails the last chunk is not needed
      if (body.size() + *size > kzvHttpsMostAnswer) Refuse(TooLarge());
      reader.Take(*size, body);
      if (!reader.Line(2, "a chunk's end").empty())
        Refuse("a chunk of the server's answer is longer than its size");
    }
  } else if (length >= 0) {
    if (static_cast<std::size_t>(length) > kzvHttpsMostAnswer) Refuse(TooLarge());
    reader.Take(static_cast<std::size_t>(length), body);
  } else {
    reader.TakeToEnd(kzvHttpsMostAnswer, body);
  }
  return response;
}

// ---- HTTP/2, through libnghttp2 ----

#define PELLAMAR_NGHTTP2_FUNCTIONS(X)                          \
  X(nghttp2_session_callbacks_new)                             \
  X(nghttp2_session_callbacks_del)                             \
  X(nghttp2_session_callbacks_set_on_header_callback)          \
  X(nghttp2_session_callbacks_set_on_data_chunk_recv_callback) \
  X(nghttp2_session_callbacks_set_on_stream_close_callback)    \
  X(nghttp2_session_callbacks_set_on_begin_frame_callback)     \
  X(nghttp2_session_callbacks_set_on_frame_recv_callback)      \
  X(nghttp2_session_client_new)                                \
  X(nghttp2_session_del)                                       \
  X(nghttp2_submit_settings)                                   \
  X(nghttp2_submit_request)                                    \
  X(nghttp2_session_mem_send)                                  \
  X(nghttp2_session_mem_recv)                                  \
  X(nghttp2_strerror)                                          \
  X(nghttp2_http2_strerror)

struct TLibNghttp2 {
#define PELLAMAR_DECLARE(name) decltype(&::name) name = nullptr;
  PELLAMAR_NGHTTP2_FUNCTIONS(PELLAMAR_DECLARE)
#undef PELLAMAR_DECLARE
  std::string failure;
};

// Loaded the first time a server chooses HTTP/2, never at start-up.
const TLibNghttp2& Nghttp2() {
  static const TLibNghttp2 loaded = [] {
    TLibNghttp2 lib;
    void* library = ::dlopen("libnghttp2.so.14", RTLD_NOW | RTLD_LOCAL);  // kept for good
    bool complete = library != nullptr;
#define PELLAMAR_BIND(name) \
  if (complete)             \
    complete = (lib.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name))) != nullptr;
    PELLAMAR_NGHTTP2_FUNCTIONS(PELLAMAR_BIND)
#undef PELLAMAR_BIND
    if (!complete) {
      const char* reason = ::dlerror();
      lib.failure = reason != nullptr ? reason : "libnghttp2.so.14 is incomplete";
    }
    return lib;
  }();
  if (!loaded.failure.empty())
    throw EzvSocketError("DNS over HTTP/2 needs libnghttp2.so.14: " + loaded.failure,
                         kzvErrTlsUnavailable);
  return loaded;
}

// What the callbacks learn of the one stream.
struct TStreamState {
  const TzvHttpsRequest* request = nullptr;
  std::size_t sent = 0;  // of the request's body
  std::int32_t stream = -1;
  int status = 0;
  std::string content_type;
  std::vector<std::uint8_t> body;
  bool closed = false;
  std::uint32_t close_code = 0;
  std::string failure;  // why a callback stopped the session
  // What came so far, against the bounds below.
  int frames = 0;
  int informational = 0;
  int empty_data = 0;
};

// An answer of at most 65,535 bytes takes a handful of frames (the settings, a header
// block, a few DATA frames, a window update or two); a server that sends more without
// end would keep the exchange going as long as it likes. Every frame of the connection
// counts, its one stream's and the connection's own (PING, SETTINGS, WINDOW_UPDATE).
constexpr int kMostFrames = 1000;
// DATA frames without a byte of the body (padding only, or nothing): one may end the
// stream, a few are harmless.
constexpr int kMostEmptyData = 8;

int Stop(TStreamState& state, std::string reason) {
  state.failure = std::move(reason);
  return NGHTTP2_ERR_CALLBACK_FAILURE;
}

int OnBeginFrame(nghttp2_session*, const nghttp2_frame_hd*, void* user_data) {
  auto& state = *static_cast<TStreamState*>(user_data);
  if (++state.frames > kMostFrames)
    return Stop(state, "the server sent more than " + std::to_string(kMostFrames) +
                           " HTTP/2 frames without completing its answer");
  return 0;
}

int OnFrame(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
  auto& state = *static_cast<TStreamState*>(user_data);
  if (frame->hd.stream_id != state.stream) return 0;
  // A header block has been read whole, so :status is that of this block.
  if (frame->hd.type == NGHTTP2_HEADERS && state.status >= 100 && state.status < 200 &&
      ++state.informational > kMostInformational)
    return Stop(state, TooManyInformational());
  if (frame->hd.type == NGHTTP2_DATA && frame->hd.length <= frame->data.padlen &&
      ++state.empty_data > kMostEmptyData)
    return Stop(state, "the server sent more than " + std::to_string(kMostEmptyData) +
                           " empty DATA frames");
  return 0;
}

int OnHeader(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
             std::size_t name_length, const std::uint8_t* value, std::size_t value_length,
             std::uint8_t, void* user_data) {
  auto& state = *static_cast<TStreamState*>(user_data);
  if (frame->hd.type != NGHTTP2_HEADERS || frame->hd.stream_id != state.stream) return 0;
  const std::string_view key(reinterpret_cast<const char*>(name), name_length);
  const std::string_view text(reinterpret_cast<const char*>(value), value_length);
  if (key == ":status") {
    const auto code = ReadCount(text, 10, 999);
    state.status = code ? static_cast<int>(*code) : 0;
  } else if (key == "content-type") {
    state.content_type = text;
  } else if (key == "content-length") {
    const auto length = ReadCount(text, 10, kzvHttpsMostAnswer);
    if (length && *length > kzvHttpsMostAnswer && state.status == 200) {
      state.failure = TooLarge();
      return NGHTTP2_ERR_CALLBACK_FAILURE;
    }
  }
  return 0;
}

int OnData(nghttp2_session*, std::uint8_t, std::int32_t stream, const std::uint8_t* data,
           std::size_t length, void* user_data) {
  auto& state = *static_cast<TStreamState*>(user_data);
  if (stream != state.stream) return 0;
  // A body that cannot be the answer is not read any further.
  if (auto problem = HeadProblem(state.status, state.content_type)) {
    state.failure = *problem;
    return NGHTTP2_ERR_CALLBACK_FAILURE;
  }
  if (state.body.size() + length > kzvHttpsMostAnswer) {
    state.failure = TooLarge();
    return NGHTTP2_ERR_CALLBACK_FAILURE;
  }
  state.body.insert(state.body.end(), data, data + length);
  return 0;
}

int OnClose(nghttp2_session*, std::int32_t stream, std::uint32_t code, void* user_data) {
  auto& state = *static_cast<TStreamState*>(user_data);
  if (stream == state.stream) {
    state.closed = true;
    state.close_code = code;
  }
  return 0;
}

ssize_t ReadBody(nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t length,
                 std::uint32_t* flags, nghttp2_data_source*, void* user_data) {
  auto& state = *static_cast<TStreamState*>(user_data);
  const std::vector<std::uint8_t>& message = state.request->Message;
  const std::size_t part = std::min(length, message.size() - state.sent);
  std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(state.sent), part, buffer);
  state.sent += part;
  if (state.sent == message.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(part);
}

nghttp2_nv Header(std::string_view name, std::string_view value) {
  return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
          value.size(), NGHTTP2_NV_FLAG_NONE};
}

TzvHttpsResponse ExchangeHttp2(const TzvHttpsChannel& channel, const TzvHttpsRequest& request) {
  const TLibNghttp2& h2 = Nghttp2();
  TStreamState state;
  state.request = &request;

  nghttp2_session_callbacks* callbacks = nullptr;
  if (h2.nghttp2_session_callbacks_new(&callbacks) != 0) throw std::bad_alloc();
  h2.nghttp2_session_callbacks_set_on_header_callback(callbacks, OnHeader);
  h2.nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, OnData);
  h2.nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, OnClose);
  h2.nghttp2_session_callbacks_set_on_begin_frame_callback(callbacks, OnBeginFrame);
  h2.nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, OnFrame);
  nghttp2_session* session = nullptr;
  const int made = h2.nghttp2_session_client_new(&session, callbacks, &state);
  h2.nghttp2_session_callbacks_del(callbacks);
  if (made != 0) throw std::bad_alloc();
  auto release = ScopeExit([&] { h2.nghttp2_session_del(session); });

  // No pushed streams: the one answer asked for is all that is wanted.
  const nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_ENABLE_PUSH, 0}};
  h2.nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, settings, 1);
  const std::string target = Target(request);
  const std::string length = std::to_string(request.Message.size());
  std::vector<nghttp2_nv> headers = {Header(":method", request.Get ? "GET" : "POST"),
                                     Header(":scheme", "https"),
                                     Header(":authority", request.Authority),
                                     Header(":path", target), Header("accept", kDnsMessageType)};
  nghttp2_data_provider body{};
  body.read_callback = ReadBody;
  if (!request.Get) {
    headers.push_back(Header("content-type", kDnsMessageType));
    headers.push_back(Header("content-length", length));
  }
  state.stream = h2.nghttp2_submit_request(session, nullptr, headers.data(), headers.size(),
                                           request.Get ? nullptr : &body, nullptr);
  if (state.stream < 0)
    Refuse(std::string("cannot make the request: ") + h2.nghttp2_strerror(state.stream));

  auto fail = [&](int code) {
    Refuse(!state.failure.empty() ? state.failure
                                  : std::string("HTTP/2 failed: ") + h2.nghttp2_strerror(code));
  };
  std::vector<std::uint8_t> outgoing;
  for (;;) {
    // All that is ready goes in one write.
    outgoing.clear();
    for (;;) {
      const std::uint8_t* data = nullptr;
      const ssize_t size = h2.nghttp2_session_mem_send(session, &data);
      if (size < 0) fail(static_cast<int>(size));
      if (size == 0) break;
      outgoing.insert(outgoing.end(), data, data + size);
    }
    if (!outgoing.empty()) channel.Write(outgoing.data(), outgoing.size());
    if (state.closed) break;
    TMemoryStream received;
    if (!channel.Read(received) && received.Size() == 0) ClosedEarly();
    const ssize_t used = h2.nghttp2_session_mem_recv(session, received.Memory(),
                                                     static_cast<std::size_t>(received.Size()));
    if (used < 0) fail(static_cast<int>(used));
  }
  if (state.close_code != NGHTTP2_NO_ERROR)
    Refuse(std::string("the server reset the stream: ") +
           h2.nghttp2_http2_strerror(state.close_code));
  if (auto problem = HeadProblem(state.status, state.content_type)) Refuse(*problem);
  return {"HTTP/2", std::move(state.body)};
}

}  // namespace

TzvHttpsResponse ExchangeOverHttps(const TzvHttpsChannel& channel, bool http2,
                                   const TzvHttpsRequest& request) {
  TzvHttpsResponse response =
      http2 ? ExchangeHttp2(channel, request) : ExchangeHttp1(channel, request);
  if (response.Body.empty()) Refuse("the server's answer is empty");
  return response;
}
