#include "net/zvHttpsSession.h"

#include <dlfcn.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <optional>
#include <string_view>

#include "base/Base64.h"
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

// ---- HTTP/2, through libnghttp2 ----

#define PELLAMAR_NGHTTP2_FUNCTIONS(X)                          \
  X(nghttp2_session_callbacks_new)                             \
  X(nghttp2_session_callbacks_del)                             \
  X(nghttp2_session_callbacks_set_on_header_callback)          \
  X(nghttp2_session_callbacks_set_on_data_chunk_recv_callback) \
  X(nghttp2_session_callbacks_set_on_stream_close_callback)    \
  X(nghttp2_session_callbacks_set_on_begin_frame_callback)     \
  X(nghttp2_session_callbacks_set_on_frame_recv_callback)      \
  X(nghttp2_session_callbacks_set_on_frame_not_send_callback)  \
  X(nghttp2_submit_rst_stream)                                 \
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

// Loaded the first time a server chooses HTTP/2 or one is about to be asked, never at
// start-up.
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

// ---- what both protocols share ----

constexpr std::int32_t kMostFrames = 1000;
constexpr int kMostEmptyData = 8;

}  // namespace

class TzvHttpsSession::TImpl {
 public:
  TImpl(TzvHttpsChannel channel, bool keep_alive)
      : channel_(std::move(channel)), keep_alive_(keep_alive) {}
  virtual ~TImpl() = default;

  std::int32_t Submit(const TzvHttpsRequest& request) {
    if (!CanSubmit()) Refuse("the connection takes no more requests");
    const std::int32_t handle = ++last_handle_;
    ++pending_;
    Start(handle, request);
    return handle;
  }

  TzvHttpsDone Next() {
    if (broken_) throw *broken_;
    if (pending_ == 0) Refuse("no request is waiting for its answer");
    try {
      while (done_.empty()) Run();
    } catch (const EzvSocketError& e) {
      broken_ = e;
      closing_ = true;
      throw;
    }
    TzvHttpsDone done = std::move(done_.front());
    done_.pop_front();
    --pending_;
    return done;
  }

  bool CanSubmit() const { return !closing_ && !broken_; }
  std::size_t Pending() const { return pending_; }

 protected:
  virtual void Start(std::int32_t handle, const TzvHttpsRequest& request) = 0;
  // Reads and writes until at least one request is done (or the connection fails).
  virtual void Run() = 0;

  bool HasDone() const { return !done_.empty(); }
  void Finish(std::int32_t handle, TzvHttpsResponse response) {
    if (response.Body.empty()) return Fail(handle, kzvErrHttp, "the server's answer is empty");
    TzvHttpsDone done;
    done.Handle = handle;
    done.Response = std::move(response);
    done_.push_back(std::move(done));
  }
  void Fail(std::int32_t handle, std::int32_t code, std::string reason) {
    TzvHttpsDone done;
    done.Handle = handle;
    done.ErrorCode = code;
    done.Error = code == kzvErrHttp ? "DNS over HTTPS: " + reason : std::move(reason);
    done_.push_back(std::move(done));
  }

  TzvHttpsChannel channel_;
  bool keep_alive_;
  bool closing_ = false;  // the server takes no more requests

 private:
  std::int32_t last_handle_ = 0;
  std::size_t pending_ = 0;
  std::deque<TzvHttpsDone> done_;
  std::optional<EzvSocketError> broken_;
};

namespace {

constexpr std::string_view kRefusalPrefix = "DNS over HTTPS: ";
const char kNotSent[] = "the connection ended before the request was sent";

// ---- HTTP/1.1: one request after another over a connection kept alive ----

class THttp1 final : public TzvHttpsSession::TImpl {
 public:
  using TImpl::TImpl;

 protected:
  void Start(std::int32_t handle, const TzvHttpsRequest& request) override {
    queued_.push_back({handle, request});
    if (!keep_alive_) closing_ = true;
  }

  void Run() override {
    const auto [handle, request] = std::move(queued_.front());
    queued_.pop_front();
    if (unusable_) return Fail(handle, kzvConnectionReset, kNotSent);
    Send(request);
    try {
      std::string problem;
      TzvHttpsResponse response = Receive(problem);
      if (problem.empty())
        Finish(handle, std::move(response));
      else
        Fail(handle, kzvErrHttp, problem);
    } catch (const EzvSocketError& e) {
      // The answer was not read to its end: what follows on the connection is not the
      // next answer's start.
      if (e.ErrorCode() != kzvErrHttp) throw;
      unusable_ = closing_ = true;
      Fail(handle, kzvErrHttp, std::string(e.what()).substr(kRefusalPrefix.size()));
    }
  }

 private:
  void Send(const TzvHttpsRequest& request) {
    std::string head = (request.Get ? "GET " : "POST ") + Target(request) + " HTTP/1.1\r\n" +
                       "Host: " + request.Authority + "\r\n" +
                       "Accept: " + std::string(kDnsMessageType) + "\r\n";
    if (!request.Get)
      head += "Content-Type: " + std::string(kDnsMessageType) + "\r\n" +
              "Content-Length: " + std::to_string(request.Message.size()) + "\r\n";
    // The last question of a connection: the server may end an answer of unknown length
    // by closing.
    if (!keep_alive_) head += "Connection: close\r\n";
    head += "\r\n";
    std::vector<std::uint8_t> bytes(head.begin(), head.end());
    if (!request.Get) bytes.insert(bytes.end(), request.Message.begin(), request.Message.end());
    channel_.Write(bytes.data(), bytes.size());
  }

  // The answer to the request just sent. An answer that is whole but no DNS answer (another
  // status or type, of a known small length) is read past, leaving the connection in step,
  // and `problem` says why it was not taken.
  TzvHttpsResponse Receive(std::string& problem) {
    int status = 0;
    std::string content_type;
    // The body's length, when the server gave one (-1: until it closes).
    std::int64_t length = -1;
    bool chunked = false;
    bool close = false;
    // Informational answers (100 Continue) come before the real one and are passed over.
    int informational = 0;
    do {
      if (informational++ > kMostInformational) Refuse(TooManyInformational());
      const std::string_view line = reader_.Line(kMostLine, "the server's status line");
      if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ' ||
          (line.size() > 12 && line[12] != ' '))
        Refuse("the server's answer is not HTTP/1.1: '" + Shown(line) + "'");
      // HTTP/1.0 keeps nothing alive unless asked, and this client does not ask.
      close = line[7] == '0';
      const auto code = ReadCount(line.substr(9, 3), 10, 999);
      if (!code) Refuse("the server's status line has no status: '" + Shown(line) + "'");
      status = static_cast<int>(*code);
      content_type.clear();
      length = -1;
      chunked = false;
      for (int count = 0;; ++count) {
        const std::string_view header = reader_.Line(kMostLine, "a header of the server's answer");
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
        } else if (SameText(name, "Connection")) {
          close = close || SameText(value, "close");
        }
      }
    } while (status >= 100 && status < 200);

    if (close || (!chunked && length < 0)) closing_ = unusable_ = true;
    if (auto problem_of_head = HeadProblem(status, content_type)) {
      // A body of a known, small length is passed over and the connection stays in step;
      // any other is not read at all.
      if (!keep_alive_ || chunked || length < 0 ||
          static_cast<std::size_t>(length) > kzvHttpsMostAnswer)
        Refuse(*problem_of_head);
      std::vector<std::uint8_t> ignored;
      reader_.Take(static_cast<std::size_t>(length), ignored);
      problem = *problem_of_head;
      return {};
    }
    TzvHttpsResponse response{"HTTP/1.1", {}};
    std::vector<std::uint8_t>& body = response.Body;
    if (chunked) {
      for (;;) {
        const std::string_view line = reader_.Line(kMostLine, "a chunk's size");
        const auto size =
            ReadCount(Trimmed(line.substr(0, line.find(';'))), 16, kzvHttpsMostAnswer);
        if (!size) Refuse("the server's answer has a malformed chunk size: '" + Shown(line) + "'");
        if (*size == 0) break;
        if (body.size() + *size > kzvHttpsMostAnswer) Refuse(TooLarge());
        reader_.Take(*size, body);
        if (!reader_.Line(2, "a chunk's end").empty())
          Refuse("a chunk of the server's answer is longer than its size");
      }
      // The trailer, header lines up to an empty one, is passed over when the next answer
      // follows it; on a connection that ends here it is not needed.
      if (!closing_)
        for (int count = 0; !reader_.Line(kMostLine, "the answer's trailer").empty(); ++count)
          if (count == kMostHeaders) Refuse("the server's answer has too long a trailer");
    } else if (length >= 0) {
      if (static_cast<std::size_t>(length) > kzvHttpsMostAnswer) Refuse(TooLarge());
      reader_.Take(static_cast<std::size_t>(length), body);
    } else {
      reader_.TakeToEnd(kzvHttpsMostAnswer, body);
    }
    return response;
  }

  std::deque<std::pair<std::int32_t, TzvHttpsRequest>> queued_;
  TResponseReader reader_{channel_};
  bool unusable_ = false;  // the connection is closing or out of step
};

// ---- HTTP/2: a stream for each request, many in flight ----

nghttp2_nv Header(std::string_view name, std::string_view value) {
  return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
          value.size(), NGHTTP2_NV_FLAG_NONE};
}

// What the callbacks learn of one stream.
struct TStream {
  std::int32_t handle = 0;
  std::int32_t id = -1;
  TzvHttpsRequest request;
  std::string target, length;  // the :path and content-length sent, kept while they go
  std::size_t sent = 0;        // of the request's body
  int status = 0;
  std::string content_type;
  std::vector<std::uint8_t> body;
  int informational = 0;
  int empty_data = 0;
  bool over = false;  // finished, or failed: nothing more of it is taken
};

class THttp2 final : public TzvHttpsSession::TImpl {
 public:
  THttp2(TzvHttpsChannel channel, bool keep_alive)
      : TImpl(std::move(channel), keep_alive), h2_(Nghttp2()) {
    nghttp2_session_callbacks* callbacks = nullptr;
    if (h2_.nghttp2_session_callbacks_new(&callbacks) != 0) throw std::bad_alloc();
    h2_.nghttp2_session_callbacks_set_on_header_callback(callbacks, OnHeader);
    h2_.nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, OnData);
    h2_.nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, OnClose);
    h2_.nghttp2_session_callbacks_set_on_begin_frame_callback(callbacks, OnBeginFrame);
    h2_.nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, OnFrame);
    h2_.nghttp2_session_callbacks_set_on_frame_not_send_callback(callbacks, OnNotSent);
    const int made = h2_.nghttp2_session_client_new(&session_, callbacks, this);
    h2_.nghttp2_session_callbacks_del(callbacks);
    if (made != 0) throw std::bad_alloc();
    // No pushed streams: the answers asked for are all that is wanted.
    const nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_ENABLE_PUSH, 0}};
    h2_.nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings, 1);
  }
  ~THttp2() override { h2_.nghttp2_session_del(session_); }

 protected:
  // nghttp2 holds back the streams beyond the server's SETTINGS_MAX_CONCURRENT_STREAMS
  // (100 until the server's SETTINGS tell) and opens each as another closes.
  void Start(std::int32_t handle, const TzvHttpsRequest& request) override {
    auto owned = std::make_unique<TStream>();
    TStream& stream = *owned;
    stream.handle = handle;
    stream.request = request;
    stream.target = Target(request);
    stream.length = std::to_string(request.Message.size());
    std::vector<nghttp2_nv> headers = {
        Header(":method", request.Get ? "GET" : "POST"), Header(":scheme", "https"),
        Header(":authority", stream.request.Authority), Header(":path", stream.target),
        Header("accept", kDnsMessageType)};
    nghttp2_data_provider body{};
    body.source.ptr = &stream;
    body.read_callback = ReadBody;
    if (!request.Get) {
      headers.push_back(Header("content-type", kDnsMessageType));
      headers.push_back(Header("content-length", stream.length));
    }
    stream.id = h2_.nghttp2_submit_request(session_, nullptr, headers.data(), headers.size(),
                                           request.Get ? nullptr : &body, &stream);
    if (stream.id < 0) {
      Fail(handle, kzvErrHttp,
           std::string("cannot make the request: ") + h2_.nghttp2_strerror(stream.id));
      return;
    }
    if (!keep_alive_) closing_ = true;
    streams_[stream.id] = std::move(owned);
  }

  void Run() override {
    // All that is ready goes in one write.
    outgoing_.clear();
    for (;;) {
      const std::uint8_t* data = nullptr;
      const ssize_t size = h2_.nghttp2_session_mem_send(session_, &data);
      if (size < 0) Broken(static_cast<int>(size));
      if (size == 0) break;
      outgoing_.insert(outgoing_.end(), data, data + size);
    }
    if (!outgoing_.empty()) channel_.Write(outgoing_.data(), outgoing_.size());
    if (HasDone()) return;
    TMemoryStream received;
    if (!channel_.Read(received) && received.Size() == 0) ClosedEarly();
    const ssize_t used = h2_.nghttp2_session_mem_recv(session_, received.Memory(),
                                                      static_cast<std::size_t>(received.Size()));
    if (used < 0) Broken(static_cast<int>(used));
  }

 private:
  [[noreturn]] void Broken(int code) {
    Refuse(!failure_.empty() ? failure_
                             : std::string("HTTP/2 failed: ") + h2_.nghttp2_strerror(code));
  }

  static THttp2& Of(void* user_data) { return *static_cast<THttp2*>(user_data); }

  // The stream `id` while its answer is still taken; null for another or a finished one.
  TStream* Open(std::int32_t id) {
    const auto found = streams_.find(id);
    return found == streams_.end() || found->second->over ? nullptr : found->second.get();
  }

  // Ends the stream's request with `reason` and tells the server it is not wanted any more.
  void Drop(TStream& stream, std::int32_t code, std::string reason) {
    stream.over = true;
    Fail(stream.handle, code, std::move(reason));
    // Settled, as a complete answer is: the frames are counted again from here.
    frames_ = 0;
    h2_.nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, stream.id, NGHTTP2_CANCEL);
  }

  static int OnBeginFrame(nghttp2_session*, const nghttp2_frame_hd*, void* user_data) {
    THttp2& self = Of(user_data);
    // An answer of at most 65,535 bytes takes a handful of frames (a header block, a few
    // DATA frames, a window update or two); a server that sends more without end would
    // keep the connection going as long as it likes. Every frame counts, the streams' and
    // the connection's own (PING, SETTINGS, WINDOW_UPDATE), until an answer is complete.
    if (++self.frames_ > kMostFrames) {
      self.failure_ = "the server sent more than " + std::to_string(kMostFrames) +
                      " HTTP/2 frames without completing its answer";
      return NGHTTP2_ERR_CALLBACK_FAILURE;
    }
    return 0;
  }

  static int OnFrame(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    THttp2& self = Of(user_data);
    if (frame->hd.type == NGHTTP2_GOAWAY) self.closing_ = true;
    TStream* stream = self.Open(frame->hd.stream_id);
    if (stream == nullptr) return 0;
    // A header block has been read whole, so :status is that of this block.
    if (frame->hd.type == NGHTTP2_HEADERS && stream->status >= 100 && stream->status < 200 &&
        ++stream->informational > kMostInformational)
      self.Drop(*stream, kzvErrHttp, TooManyInformational());
    // DATA frames without a byte of the body (padding only, or nothing): one may end the
    // stream, a few are harmless.
    else if (frame->hd.type == NGHTTP2_DATA && frame->hd.length <= frame->data.padlen &&
             ++stream->empty_data > kMostEmptyData)
      self.Drop(
          *stream, kzvErrHttp,
          "the server sent more than " + std::to_string(kMostEmptyData) + " empty DATA frames");
    return 0;
  }

  static int OnHeader(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                      std::size_t name_length, const std::uint8_t* value, std::size_t value_length,
                      std::uint8_t, void* user_data) {
    THttp2& self = Of(user_data);
    TStream* stream = self.Open(frame->hd.stream_id);
    if (frame->hd.type != NGHTTP2_HEADERS || stream == nullptr) return 0;
    const std::string_view key(reinterpret_cast<const char*>(name), name_length);
    const std::string_view text(reinterpret_cast<const char*>(value), value_length);
    if (key == ":status") {
      const auto code = ReadCount(text, 10, 999);
      stream->status = code ? static_cast<int>(*code) : 0;
    } else if (key == "content-type") {
      stream->content_type = text;
    } else if (key == "content-length") {
      const auto length = ReadCount(text, 10, kzvHttpsMostAnswer);
      if (length && *length > kzvHttpsMostAnswer && stream->status == 200)
        self.Drop(*stream, kzvErrHttp, TooLarge());
    }
    return 0;
  }

  static int OnData(nghttp2_session*, std::uint8_t, std::int32_t id, const std::uint8_t* data,
                    std::size_t length, void* user_data) {
    THttp2& self = Of(user_data);
    TStream* stream = self.Open(id);
    if (stream == nullptr) return 0;
    // A body that cannot be the answer is not read any further.
    if (auto problem = HeadProblem(stream->status, stream->content_type))
      self.Drop(*stream, kzvErrHttp, *problem);
    else if (stream->body.size() + length > kzvHttpsMostAnswer)
      self.Drop(*stream, kzvErrHttp, TooLarge());
    else
      stream->body.insert(stream->body.end(), data, data + length);
    return 0;
  }

  static int OnClose(nghttp2_session*, std::int32_t id, std::uint32_t code, void* user_data) {
    THttp2& self = Of(user_data);
    const auto found = self.streams_.find(id);
    if (found == self.streams_.end()) return 0;
    std::unique_ptr<TStream> stream = std::move(found->second);
    self.streams_.erase(found);
    if (stream->over) return 0;
    self.frames_ = 0;
    if (code == NGHTTP2_REFUSED_STREAM)
      // Not taken up at all (a GOAWAY's streams beyond its last): safe to ask elsewhere.
      self.Fail(stream->handle, kzvConnectionReset, "the server refused the request unread");
    else if (code != NGHTTP2_NO_ERROR)
      self.Fail(
          stream->handle, kzvErrHttp,
          std::string("the server reset the stream: ") + self.h2_.nghttp2_http2_strerror(code));
    else if (auto problem = HeadProblem(stream->status, stream->content_type))
      self.Fail(stream->handle, kzvErrHttp, *problem);
    else
      self.Finish(stream->handle, {"HTTP/2", std::move(stream->body)});
    return 0;
  }

  // A request nghttp2 could not send (the server sent GOAWAY before its stream opened).
  static int OnNotSent(nghttp2_session*, const nghttp2_frame* frame, int, void* user_data) {
    THttp2& self = Of(user_data);
    if (frame->hd.type != NGHTTP2_HEADERS) return 0;
    const auto found = self.streams_.find(frame->hd.stream_id);
    if (found == self.streams_.end() || found->second->over) return 0;
    found->second->over = true;
    self.Fail(found->second->handle, kzvConnectionReset, kNotSent);
    return 0;
  }

  static ssize_t ReadBody(nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t length,
                          std::uint32_t* flags, nghttp2_data_source* source, void*) {
    TStream& stream = *static_cast<TStream*>(source->ptr);
    const std::vector<std::uint8_t>& message = stream.request.Message;
    const std::size_t part = std::min(length, message.size() - stream.sent);
    std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(stream.sent), part, buffer);
    stream.sent += part;
    if (stream.sent == message.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(part);
  }

  const TLibNghttp2& h2_;
  nghttp2_session* session_ = nullptr;
  std::map<std::int32_t, std::unique_ptr<TStream>> streams_;
  std::vector<std::uint8_t> outgoing_;
  std::string failure_;  // why a callback stopped the connection
  int frames_ = 0;
};

}  // namespace

TzvHttpsSession::TzvHttpsSession(TzvHttpsChannel channel, bool http2, bool keep_alive)
    : impl_(http2 ? std::unique_ptr<TImpl>(std::make_unique<THttp2>(std::move(channel), keep_alive))
                  : std::make_unique<THttp1>(std::move(channel), keep_alive)) {}

TzvHttpsSession::~TzvHttpsSession() = default;

std::int32_t TzvHttpsSession::Submit(const TzvHttpsRequest& request) {
  return impl_->Submit(request);
}

TzvHttpsDone TzvHttpsSession::Next() {
  return impl_->Next();
}

bool TzvHttpsSession::CanSubmit() const {
  return impl_->CanSubmit();
}

std::size_t TzvHttpsSession::Pending() const {
  return impl_->Pending();
}

void TzvHttpsSession::Prepare() {
  Nghttp2();
}
