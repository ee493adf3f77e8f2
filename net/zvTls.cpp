#include "net/zvTls.h"

#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "base/Classes.h"
#include "net/zvSocketUtils.h"

namespace {

// libssl is loaded the first time an encrypted lookup needs it, as libcrypto is for
// DNSSEC: a plain lookup never does, and loading it at start-up would weigh on every
// run of the companion. Its handle also finds libcrypto's functions it depends on.
#define PELLAMAR_TLS_FUNCTIONS(X)     \
  X(OPENSSL_init_ssl)                 \
  X(TLS_client_method)                \
  X(SSL_CTX_new)                      \
  X(SSL_CTX_free)                     \
  X(SSL_CTX_ctrl)                     \
  X(SSL_CTX_set_verify)               \
  X(SSL_CTX_set_default_verify_paths) \
  X(SSL_CTX_load_verify_locations)    \
  X(SSL_CTX_load_verify_dir)          \
  X(SSL_CTX_sess_set_new_cb)          \
  X(SSL_set_ex_data)                  \
  X(SSL_get_ex_data)                  \
  X(SSL_set_session)                  \
  X(SSL_session_reused)               \
  X(SSL_SESSION_is_resumable)         \
  X(SSL_SESSION_free)                 \
  X(i2d_SSL_SESSION)                  \
  X(d2i_SSL_SESSION)                  \
  X(X509_get_default_cert_dir)        \
  X(X509_get_default_cert_dir_env)    \
  X(X509_get_default_cert_file_env)   \
  X(SSL_new)                          \
  X(SSL_free)                         \
  X(SSL_ctrl)                         \
  X(SSL_set_bio)                      \
  X(SSL_set_connect_state)            \
  X(SSL_set1_host)                    \
  X(SSL_set_hostflags)                \
  X(SSL_get0_param)                   \
  X(SSL_set_alpn_protos)              \
  X(SSL_get0_alpn_selected)           \
  X(SSL_do_handshake)                 \
  X(SSL_get_error)                    \
  X(SSL_read)                         \
  X(SSL_write)                        \
  X(SSL_get_verify_result)            \
  X(SSL_get_version)                  \
  X(SSL_get_current_cipher)           \
  X(SSL_CIPHER_get_name)              \
  X(SSL_get1_peer_certificate)        \
  X(BIO_new)                          \
  X(BIO_s_mem)                        \
  X(BIO_read)                         \
  X(BIO_write)                        \
  X(X509_get_subject_name)            \
  X(X509_NAME_oneline)                \
  X(X509_free)                        \
  X(X509_VERIFY_PARAM_set1_ip_asc)    \
  X(X509_verify_cert_error_string)    \
  X(ERR_get_error)                    \
  X(ERR_error_string_n)               \
  X(ERR_clear_error)

struct TLibSsl {
#define PELLAMAR_DECLARE(name) decltype(&::name) name = nullptr;
  PELLAMAR_TLS_FUNCTIONS(PELLAMAR_DECLARE)
#undef PELLAMAR_DECLARE
  std::string failure;
};

// libssl and libcrypto bind their thousands of references to each other when loaded
// (they are linked to be bound at once); looked up in their own scope first, each is
// found at the first place searched instead of after every library of the program. A
// sanitizer's runtime stands in for malloc and its kin in the program's scope, which must
// then come first.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kOwnScopeFirst = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr int kOwnScopeFirst = 0;
#else
constexpr int kOwnScopeFirst = RTLD_DEEPBIND;
#endif
#else
constexpr int kOwnScopeFirst = RTLD_DEEPBIND;
#endif

const TLibSsl& Ssl() {
  static const TLibSsl loaded = [] {
    TLibSsl ssl;
    void* library = ::dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL | kOwnScopeFirst);  // kept
    bool complete = library != nullptr;
#define PELLAMAR_BIND(name) \
  if (complete)             \
    complete = (ssl.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name))) != nullptr;
    PELLAMAR_TLS_FUNCTIONS(PELLAMAR_BIND)
#undef PELLAMAR_BIND
    if (!complete) {
      const char* reason = ::dlerror();
      ssl.failure = reason != nullptr ? reason : "libssl.so.3 is incomplete";
    } else if (ssl.OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT |
                                        OPENSSL_INIT_NO_LOAD_SSL_STRINGS |
                                        OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                                    nullptr) != 1) {
      // Without the configuration file: its providers and policies are for servers and
      // the command-line tool; this client sets its protocols itself. Without the clean-up
      // at exit: the process ends just after, and its memory goes with it. Without the
      // library's thousands of error texts, read in full the first time any is marked:
      // a failure names its reason from the codes (see Fail).
      ssl.failure = "OpenSSL could not be set up";
    }
    return ssl;
  }();
  if (!loaded.failure.empty())
    throw EzvSocketError("DNS over TLS needs OpenSSL's libssl.so.3: " + loaded.failure,
                         kzvErrTlsUnavailable);
  return loaded;
}

// What a person needs to know of a failed certificate check, in the words browsers use.
std::string CertificateProblem(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "not yet valid";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "name mismatch";
    default:
      return "certificate not trusted";
  }
}

// The reasons a TLS session most often fails for, in words: OpenSSL's own texts are not
// read (see Ssl()), and the others show as their codes.
std::string KnownReason(unsigned long code) {
  if (ERR_GET_LIB(code) != ERR_LIB_SSL) return {};
  switch (ERR_GET_REASON(code)) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
      return "the server does not speak TLS";
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
      return "the server refused the handshake";
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
      return "no TLS version both sides speak (1.2 or 1.3 here)";
    case SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL:
      return "the server speaks none of the protocols offered (ALPN)";
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
      return "the server closed the connection";
    case SSL_R_CERTIFICATE_VERIFY_FAILED:
      return "certificate verify failed";
    default:
      return {};
  }
}

bool IsNumericAddress(const std::string& text) {
  return text.find(':') != std::string::npos ||
         text.find_first_not_of("0123456789.") == std::string::npos;
}

constexpr std::size_t kChunk = 16384;

// One context for each way of checking the server, made the first time it is needed and
// kept for the process: making one costs more than the handshake itself (OpenSSL fetches
// every cipher and group it knows), and sessions made under one context can be resumed
// under it.
struct TContext {
  SSL_CTX* context = nullptr;
  std::string ca_file;
  bool insecure = false;
  // The CAs are read once, by the first session that needs them, while its server works
  // on the greeting; later sessions wait for that first reading.
  std::once_flag trust_read;
  std::string trust_failure;  // why they could not be read; empty: they were
  ~TContext() {
    if (context != nullptr) Ssl().SSL_CTX_free(context);
  }
};

// What a session hands to OpenSSL's callbacks: where its new sessions are kept.
struct TTicketSink {
  std::shared_ptr<TzvTlsSessionCache> cache;
  std::string key;
};

int KeepNewSession(SSL* connection, SSL_SESSION* session) {
  const TLibSsl& ssl = Ssl();
  auto* sink = static_cast<TTicketSink*>(ssl.SSL_get_ex_data(connection, 0));
  if (sink == nullptr || sink->cache == nullptr || ssl.SSL_SESSION_is_resumable(session) != 1)
    return 0;
  const int size = ssl.i2d_SSL_SESSION(session, nullptr);
  if (size <= 0) return 0;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  unsigned char* out = bytes.data();
  if (ssl.i2d_SSL_SESSION(session, &out) == size) sink->cache->Keep(sink->key, std::move(bytes));
  return 0;  // the session is not held beyond this call
}

TContext& ContextFor(const TzvTlsSettings& settings) {
  const TLibSsl& ssl = Ssl();
  // Made after OpenSSL is set up, so that it goes before OpenSSL's own end at exit.
  static std::mutex mutex;
  static std::map<std::pair<std::string, bool>, std::unique_ptr<TContext>> contexts;
  const std::string ca_file = settings.Insecure ? std::string() : settings.CaFile;
  std::lock_guard lock(mutex);
  std::unique_ptr<TContext>& entry = contexts[{ca_file, settings.Insecure}];
  if (entry != nullptr) return *entry;
  auto made = std::make_unique<TContext>();
  made->ca_file = ca_file;
  made->insecure = settings.Insecure;
  made->context = ssl.SSL_CTX_new(ssl.TLS_client_method());
  if (made->context == nullptr) throw EzvSocketError("TLS could not be set up", kzvErrTlsHandshake);
  ssl.SSL_CTX_ctrl(made->context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  if (!settings.Insecure) ssl.SSL_CTX_set_verify(made->context, SSL_VERIFY_PEER, nullptr);
  // Sessions go to the callback only; OpenSSL's own store would hold them for nothing.
  ssl.SSL_CTX_ctrl(made->context, SSL_CTRL_SET_SESS_CACHE_MODE,
                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE, nullptr);
  ssl.SSL_CTX_sess_set_new_cb(made->context, KeepNewSession);
  entry = std::move(made);
  return *entry;
}

// True when `folder` holds certificates by their subject's hash ("1a2b3c4d.0"), as
// c_rehash and update-ca-certificates leave them.
bool HasHashedCertificates(const char* folder) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= 10 && name[8] == '.' && name.find_first_not_of("0123456789abcdef") == 8)
      return true;
  }
  return false;
}

// Reads the CAs `context` trusts: those of its CA file alone, or the system's. The system's
// are looked up by subject in their hashed folder, when it has one, as the chain needs
// them: reading the whole bundle would decode a hundred and more certificates for the one
// or two a chain uses.
void ReadTrust(TContext& context) {
  std::call_once(context.trust_read, [&context] {
    const TLibSsl& ssl = Ssl();
    if (!context.ca_file.empty()) {
      if (ssl.SSL_CTX_load_verify_locations(context.context, context.ca_file.c_str(), nullptr) != 1)
        context.trust_failure = context.ca_file;
      return;
    }
    const char* file = std::getenv(ssl.X509_get_default_cert_file_env());
    const char* folder = std::getenv(ssl.X509_get_default_cert_dir_env());
    if (folder == nullptr) folder = ssl.X509_get_default_cert_dir();
    // A bundle named in SSL_CERT_FILE is read as OpenSSL reads it, unless it lies in the
    // hashed folder itself, as update-ca-certificates makes the two from the same CAs.
    std::error_code error;
    const bool bundle_in_folder =
        file != nullptr &&
        std::filesystem::equivalent(std::filesystem::path(file).parent_path(), folder, error);
    const bool loaded = (file == nullptr || bundle_in_folder) && HasHashedCertificates(folder)
                            ? ssl.SSL_CTX_load_verify_dir(context.context, folder) == 1
                            : ssl.SSL_CTX_set_default_verify_paths(context.context) == 1;
    if (!loaded) context.trust_failure = "the system's store";
  });
  if (!context.trust_failure.empty())
    throw EzvSocketError("cannot read the CA certificates in " + context.trust_failure,
                         kzvErrTlsCertificate);
}

}  // namespace

struct TzvTlsSession::TState {
  SSL* ssl = nullptr;
  BIO* incoming = nullptr;  // owned by ssl
  BIO* outgoing = nullptr;  // owned by ssl
  TTicketSink sink;
  ~TState() {
    if (ssl != nullptr) Ssl().SSL_free(ssl);
  }
};

TzvTlsSession::TzvTlsSession(TzvTcpClientConnection& connection, TzvTlsSettings settings)
    : connection_(connection), settings_(std::move(settings)) {}

TzvTlsSession::~TzvTlsSession() = default;

void TzvTlsSession::Fail(int result, const char* during) {
  const TLibSsl& ssl = Ssl();
  const long verified = ssl.SSL_get_verify_result(state_->ssl);
  if (!settings_.Insecure && verified != X509_V_OK)
    throw EzvSocketError("TLS certificate check failed: " + CertificateProblem(verified) + " (" +
                             ssl.X509_verify_cert_error_string(verified) + ")",
                         kzvErrTlsCertificate);
  std::string reason;
  if (const unsigned long code = ssl.ERR_get_error(); code != 0) {
    reason = KnownReason(code);
    if (reason.empty()) {
      std::array<char, 256> text{};
      ssl.ERR_error_string_n(code, text.data(), text.size());
      reason = text.data();
    }
  } else {
    reason = "error " + std::to_string(ssl.SSL_get_error(state_->ssl, result));
  }
  throw EzvSocketError(std::string("TLS failed during ") + during + ": " + reason,
                       kzvErrTlsHandshake);
}

void TzvTlsSession::Flush() {
  std::array<std::uint8_t, kChunk> chunk;
  for (int n; (n = Ssl().BIO_read(state_->outgoing, chunk.data(), chunk.size())) > 0;) {
    TMemoryStream out;
    out.Write(chunk.data(), n);
    out.SetPosition(0);
    connection_.WriteData(&out);
  }
}

bool TzvTlsSession::Fill() {
  TMemoryStream in;
  const bool more = connection_.ReadData(&in, kChunk);
  connection_.GetNetworkStream().AcknowledgeAtOnce();
  if (!more && in.Size() == 0) return false;
  return Ssl().BIO_write(state_->incoming, in.Memory(), static_cast<int>(in.Size())) > 0;
}

void TzvTlsSession::Handshake() {
  const TLibSsl& ssl = Ssl();
  connection_.GetNetworkStream().DisableDelay();
  TContext& context = ContextFor(settings_);
  state_ = std::make_unique<TState>();
  state_->ssl = ssl.SSL_new(context.context);
  state_->incoming = ssl.BIO_new(ssl.BIO_s_mem());
  state_->outgoing = ssl.BIO_new(ssl.BIO_s_mem());
  if (state_->ssl == nullptr || state_->incoming == nullptr || state_->outgoing == nullptr)
    Fail(0, "set-up");
  ssl.SSL_set_bio(state_->ssl, state_->incoming, state_->outgoing);
  ssl.SSL_set_connect_state(state_->ssl);
  const bool by_name = !settings_.HostName.empty() && !IsNumericAddress(settings_.HostName);
  if (by_name)
    ssl.SSL_ctrl(state_->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(settings_.HostName.c_str()));
  if (!settings_.Insecure) {
    // Names as RFC 9525 has them: only from the subjectAltName (a CN naming the host is
    // not enough), and a wildcard only as the whole left-most label ("*.example", never
    // "d*.example"), one label deep.
    if (by_name)
      ssl.SSL_set_hostflags(
          state_->ssl, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const bool set =
        by_name
            ? ssl.SSL_set1_host(state_->ssl, settings_.HostName.c_str()) == 1
            : ssl.X509_VERIFY_PARAM_set1_ip_asc(
                  ssl.SSL_get0_param(state_->ssl),
                  (settings_.HostName.empty() ? settings_.Address : settings_.HostName).c_str()) ==
                  1;
    if (!set) Fail(0, "set-up");
  }
  if (!settings_.Alpn.empty()) {
    std::vector<unsigned char> wire;
    for (const std::string& protocol : settings_.Alpn) {
      wire.push_back(static_cast<unsigned char>(protocol.size()));
      wire.insert(wire.end(), protocol.begin(), protocol.end());
    }
    ssl.SSL_set_alpn_protos(state_->ssl, wire.data(), static_cast<unsigned>(wire.size()));
  }
  if (settings_.Sessions != nullptr) {
    state_->sink.cache = settings_.Sessions;
    state_->sink.key =
        TzvTlsSessionCache::KeyOf(settings_.HostName, settings_.Address, connection_.RemotePort(),
                                  settings_.CaFile, settings_.Insecure);
    ssl.SSL_set_ex_data(state_->ssl, 0, &state_->sink);
    const std::vector<std::uint8_t> kept = settings_.Sessions->Find(state_->sink.key);
    const unsigned char* in = kept.data();
    if (!kept.empty())
      if (SSL_SESSION* session =
              ssl.d2i_SSL_SESSION(nullptr, &in, static_cast<long>(kept.size()))) {
        ssl.SSL_set_session(state_->ssl, session);
        ssl.SSL_SESSION_free(session);
      }
  }

  try {
    for (;;) {
      ssl.ERR_clear_error();
      const int result = ssl.SSL_do_handshake(state_->ssl);
      Flush();
      // The greeting is on its way: the CAs are read while the server answers it.
      if (!settings_.Insecure) ReadTrust(context);
      if (result == 1) break;
      if (ssl.SSL_get_error(state_->ssl, result) != SSL_ERROR_WANT_READ)
        Fail(result, "the handshake");
      if (!Fill())
        throw EzvSocketError("the server closed the connection during the TLS handshake",
                             kzvErrTlsHandshake);
    }
  } catch (const EzvSocketError& e) {
    // A plain DNS server on the TLS port takes the greeting for the start of a long
    // question and waits for the rest: say what the silence most likely means.
    if (e.ErrorCode() != kzvErrTimeout) throw;
    throw EzvSocketError(
        "no TLS handshake from the server within the time-out (is it a TLS server?)",
        kzvErrTimeout);
  }

  info_.Resumed = ssl.SSL_session_reused(state_->ssl) == 1;
  // A resumed session was checked when it was made, under this same context: asked again,
  // OpenSSL gives that check's verdict.
  if (!settings_.Insecure && ssl.SSL_get_verify_result(state_->ssl) != X509_V_OK)
    Fail(0, "the handshake");
  info_.Version = ssl.SSL_get_version(state_->ssl);
  info_.Cipher = ssl.SSL_CIPHER_get_name(ssl.SSL_get_current_cipher(state_->ssl));
  if (X509* certificate = ssl.SSL_get1_peer_certificate(state_->ssl)) {
    std::array<char, 512> subject{};
    ssl.X509_NAME_oneline(ssl.X509_get_subject_name(certificate), subject.data(),
                          static_cast<int>(subject.size()));
    info_.Subject = subject.data();
    ssl.X509_free(certificate);
  }
  const unsigned char* chosen = nullptr;
  unsigned chosen_length = 0;
  ssl.SSL_get0_alpn_selected(state_->ssl, &chosen, &chosen_length);
  if (chosen != nullptr) info_.Alpn.assign(reinterpret_cast<const char*>(chosen), chosen_length);
}

void TzvTlsSession::Write(const std::uint8_t* data, std::size_t size) {
  const TLibSsl& ssl = Ssl();
  while (size > 0) {
    ssl.ERR_clear_error();
    const int part = static_cast<int>(std::min(size, kChunk));
    const int written = ssl.SSL_write(state_->ssl, data, part);
    Flush();
    if (written > 0) {
      data += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    if (ssl.SSL_get_error(state_->ssl, written) != SSL_ERROR_WANT_READ) Fail(written, "sending");
    if (!Fill()) throw EzvSocketError("the server closed the TLS connection", kzvErrTlsHandshake);
  }
}

bool TzvTlsSession::Read(TStream* data, std::int64_t most) {
  const TLibSsl& ssl = Ssl();
  std::array<std::uint8_t, kChunk> chunk;
  for (;;) {
    ssl.ERR_clear_error();
    const int wanted =
        static_cast<int>(most < 0 || most > static_cast<std::int64_t>(kChunk) ? kChunk : most);
    const int read = ssl.SSL_read(state_->ssl, chunk.data(), wanted);
    // A TLS 1.3 server may send tickets or key updates that need an answer.
    Flush();
    if (read > 0) {
      data->WriteBuffer(chunk.data(), read);
      return true;
    }
    const int error = ssl.SSL_get_error(state_->ssl, read);
    if (error == SSL_ERROR_ZERO_RETURN) return false;
    if (error != SSL_ERROR_WANT_READ) Fail(read, "receiving");
    // A peer that closes without TLS's own goodbye ends the stream just the same.
    if (!Fill()) return false;
  }
}
