#include "net/zvTls.h"

#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>

#include "base/Classes.h"
#include "net/zvSocketUtils.h"

namespace {

// libssl is loaded the first time an encrypted lookup needs it, as libcrypto is for
// DNSSEC: a plain lookup never does, and loading it at start-up would weigh on every
// run of the companion. Its handle also finds libcrypto's functions it depends on.
#define PELLAMAR_TLS_FUNCTIONS(X)     \
  X(TLS_client_method)                \
  X(SSL_CTX_new)                      \
  X(SSL_CTX_free)                     \
  X(SSL_CTX_ctrl)                     \
  X(SSL_CTX_set_verify)               \
  X(SSL_CTX_set_default_verify_paths) \
  X(SSL_CTX_load_verify_locations)    \
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

const TLibSsl& Ssl() {
  static const TLibSsl loaded = [] {
    TLibSsl ssl;
    void* library = ::dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);  // kept for good
    bool complete = library != nullptr;
#define PELLAMAR_BIND(name) \
  if (complete)             \
    complete = (ssl.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name))) != nullptr;
    PELLAMAR_TLS_FUNCTIONS(PELLAMAR_BIND)
#undef PELLAMAR_BIND
    if (!complete) {
      const char* reason = ::dlerror();
      ssl.failure = reason != nullptr ? reason : "libssl.so.3 is incomplete";
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

bool IsNumericAddress(const std::string& text) {
  return text.find(':') != std::string::npos ||
         text.find_first_not_of("0123456789.") == std::string::npos;
}

constexpr std::size_t kChunk = 16384;

}  // namespace

struct TzvTlsSession::TState {
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  BIO* incoming = nullptr;  // owned by ssl
  BIO* outgoing = nullptr;  // owned by ssl
  ~TState() {
    if (ssl != nullptr) Ssl().SSL_free(ssl);
    if (context != nullptr) Ssl().SSL_CTX_free(context);
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
    std::array<char, 256> text{};
    ssl.ERR_error_string_n(code, text.data(), text.size());
    reason = text.data();
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
  state_ = std::make_unique<TState>();
  state_->context = ssl.SSL_CTX_new(ssl.TLS_client_method());
  if (state_->context == nullptr) Fail(0, "set-up");
  ssl.SSL_CTX_ctrl(state_->context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  if (!settings_.Insecure) {
    ssl.SSL_CTX_set_verify(state_->context, SSL_VERIFY_PEER, nullptr);
    const int loaded =
        settings_.CaFile.empty()
            ? ssl.SSL_CTX_set_default_verify_paths(state_->context)
            : ssl.SSL_CTX_load_verify_locations(state_->context, settings_.CaFile.c_str(), nullptr);
    if (loaded != 1)
      throw EzvSocketError("cannot read the CA certificates in " +
                               (settings_.CaFile.empty() ? "the system's store" : settings_.CaFile),
                           kzvErrTlsCertificate);
  }
  state_->ssl = ssl.SSL_new(state_->context);
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

  try {
    for (;;) {
      ssl.ERR_clear_error();
      const int result = ssl.SSL_do_handshake(state_->ssl);
      Flush();
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
