// A DNS responder on a loopback UDP address, scripted per test, for the faults a real
// server will not produce on demand: silence, forged or stray datagrams before the right
// answer, error codes, truncation, oversized and malformed answers, slow answers and
// hand-made referrals. It runs on a thread of its own, builds every answer from the
// request's own bytes (the question is echoed) and needs nothing but the standard
// library and POSIX sockets. Only for use inside the test namespace, on 127.0.0.0/8, ::1 or
// a link-local address of lo.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class ScriptedDnsResponder {
 public:
  // What one datagram sent back is.
  enum class Kind {
    kAnswer,              // the right answer (see the canned records below)
    kWrongId,             // the right answer with the ID off by one
    kWrongSourcePort,     // the right answer, sent from a second socket (another port)
    kWrongSourceAddress,  // the right answer, sent from another loopback address (IPv4)
    kWrongQuestionName,   // the question name gains a first label "forged"
    kWrongQuestionType,   // the question type is changed
    kWrongQuestionClass,  // the question class is changed
    kCaseChangedName,     // the right answer, but the question name's ASCII letters swap case
    kQrClear,             // the right answer with the QR bit clear (looks like a question)
    kEmpty,               // a datagram of zero bytes
    kMalformed,           // the header counts one answer record whose fixed part is cut off
    kPointerLoop,         // one answer record whose owner name is a pointer to itself
    kReferral,            // no answer, NS records in the authority section, glue if given
    kRaw,                 // the bytes of `raw`, sent as they are
  };

  // A name server of a referral and its glue address ("" for none).
  struct NameServer {
    std::string name;
    std::string glue;
  };

  struct Datagram {
    Kind kind = Kind::kAnswer;
    int rcode = 0;              // response code, 0 to 15
    bool truncated = false;     // TC set
    bool no_records = false;    // header and question only
    int padding_records = 0;    // extra A answer records (40 make any answer pass 512 bytes)
    bool authoritative = true;  // AA
    std::chrono::milliseconds delay{0};  // waited before this datagram is sent
    int repeat = 1;                      // sent this many times in a row (a flood)
    std::vector<NameServer> referral;    // for kReferral
    std::vector<std::uint8_t> raw;       // for kRaw
    // An OPT record at the end of the additional section (EDNS), with the upper bits of
    // the response code and, when not empty, an NSID option.
    bool opt = false;
    int extended_rcode = 0;
    std::string nsid;
    // After it: the question's client subnet option echoed with this scope prefix (when 0
    // or more and the question had one), then these bytes as they are (code, length and
    // data of further options, hostile ones included).
    int subnet_scope = -1;
    std::vector<std::uint8_t> options;
  };

  // What the responder does with one request: sends these datagrams in order to the
  // request's source. None at all is silence.
  struct Reply {
    std::vector<Datagram> datagrams;
  };

  // The replies a test usually wants.
  static Reply Silence() { return {}; }
  static Reply Answer() { return {{Datagram{}}}; }
  // One forged or stray datagram first, then the right answer.
  static Reply ForgedThenAnswer(Kind forged);
  // The answer with this response code and no records; code 3 (name error) carries an
  // SOA record in the authority section, as real servers send it.
  static Reply ResponseCode(int rcode);
  // TC set, nothing but the question.
  static Reply Truncated();
  // A right answer longer than 512 bytes.
  static Reply Oversized();
  static Reply Malformed();
  // The right answer after a delay.
  static Reply Slow(std::chrono::milliseconds delay);
  static Reply Referral(std::vector<NameServer> servers);
  static Reply Raw(std::vector<std::uint8_t> bytes);

  // Binds to address (an IPv4 address in 127.0.0.0/8, "::1", or a link-local address on
  // the loopback interface such as "fe80::53%lo") and port (0: any free port) and starts
  // answering. Fails with std::system_error when it cannot bind, and with
  // std::invalid_argument for any other address.
  explicit ScriptedDnsResponder(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
  // Stops the thread, also in the middle of a delay, and closes the sockets.
  ~ScriptedDnsResponder();
  ScriptedDnsResponder(const ScriptedDnsResponder&) = delete;
  ScriptedDnsResponder& operator=(const ScriptedDnsResponder&) = delete;

  const std::string& Address() const { return address_; }
  std::uint16_t Port() const { return port_; }

  // Queues replies for the next requests, one per request, in order. When the queue is
  // empty the default reply is used (the right answer unless changed).
  void Script(std::vector<Reply> replies);
  void SetDefaultReply(Reply reply);

  // The addresses the canned answers carry (default 127.0.0.99). Answers by question
  // type: A: one A record per address; MX: "mail.<name>" preference 10 with its A record
  // in the additional section; NS: "ns.<name>" with its A record in the additional
  // section; PTR: "host.scripted.test"; CNAME: "canonical.<name>"; other types: none.
  void SetAnswerAddresses(std::vector<std::string> addresses);

  // Every request datagram received so far, as it came.
  std::vector<std::vector<std::uint8_t>> Requests() const;
  int RequestCount() const;
  // Number of datagrams sent back so far.
  int SentCount() const;
  // Waits until at least count requests have arrived; false when the time ran out first.
  bool WaitForRequests(int count, std::chrono::milliseconds timeout) const;
  // Waits until at least count datagrams have been sent; false when the time ran out.
  bool WaitForSent(int count, std::chrono::milliseconds timeout) const;

 private:
  struct Request;
  void Run();
  // Waits for the wake-up pipe up to the delay; false when asked to stop meanwhile.
  bool Sleep(std::chrono::milliseconds delay);
  void Send(const Request& request, const Datagram& datagram, const void* peer, unsigned peer_size);
  std::vector<std::uint8_t> Build(const Request& request, const Datagram& datagram) const;

  std::string address_;
  std::uint16_t port_ = 0;
  int family_ = 0;
  int socket_ = -1;
  int second_socket_ = -1;  // same address, another port
  int other_socket_ = -1;   // another loopback address (IPv4 only)
  int wake_read_ = -1;
  int wake_write_ = -1;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stop_ = false;
  std::deque<Reply> script_;
  Reply default_reply_ = Answer();
  std::vector<std::string> answer_addresses_{"127.0.0.99"};
  std::vector<std::vector<std::uint8_t>> requests_;
  int sent_ = 0;

  std::thread thread_;
};
