#include "net/zvTls.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <span>
#include <utility>

#include "base/Classes.h"
#include "base/SysUtils.h"
#include "net/zvGnutls.h"
#include "net/zvSocketUtils.h"
#include "net/zvX509Names.h"

namespace {

const TzvGnutls& Tls() {
  const TzvGnutls& gnutls = Gnutls();
  if (!gnutls.Failure.empty())
    throw EzvSocketError("DNS over TLS needs GnuTLS's libgnutls.so.30: " + gnutls.Failure,
                         kzvErrTlsUnavailable);
  return gnutls;
}

// TLS 1.3 and 1.2 with GnuTLS's usual ciphers and signatures. X25519 first, as the only key
// share offered (GNUTLS_KEY_SHARE_TOP): nearly every server takes it, and it costs a
// fraction of a P-256 share; a server that wants another group asks for it (one more round
// trip, with that server only).
constexpr const char* kPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1:"
    "+GROUP-SECP384R1:+GROUP-SECP521R1:+GROUP-X448:+GROUP-FFDHE2048:+GROUP-FFDHE3072";

// Parsed once for the process and shared by every session.
gnutls_priority_t Priorities() {
  static const gnutls_priority_t priorities = [] {
    gnutls_priority_t parsed = nullptr;
    if (Tls().gnutls_priority_init2(&parsed, kPriorities, nullptr, 0) < 0) parsed = nullptr;
    return parsed;
  }();
  if (priorities == nullptr) throw EzvSocketError("TLS could not be set up", kzvErrTlsHandshake);
  return priorities;
}

// What a person needs to know of a failed certificate check, in the words browsers use.
std::string CertificateProblem(unsigned status) {
  if ((status & GNUTLS_CERT_EXPIRED) != 0) return "expired";
  if ((status & GNUTLS_CERT_NOT_ACTIVATED) != 0) return "not yet valid";
  return "certificate not trusted";
}

// Why the chain was refused, for the parentheses after the problem.
std::string CertificateDetail(unsigned status) {
  static constexpr std::pair<unsigned, const char*> kReasons[] = {
      {GNUTLS_CERT_EXPIRED, "certificate has expired"},
      {GNUTLS_CERT_NOT_ACTIVATED, "certificate is not yet valid"},
      {GNUTLS_CERT_SIGNER_NOT_FOUND, "unable to get local issuer certificate"},
      {GNUTLS_CERT_SIGNER_NOT_CA, "issuer is not a CA"},
      {GNUTLS_CERT_SIGNATURE_FAILURE, "certificate signature failure"},
      {GNUTLS_CERT_INSECURE_ALGORITHM, "signed with an insecure algorithm"},
      {GNUTLS_CERT_REVOKED, "certificate revoked"},
      {GNUTLS_CERT_PURPOSE_MISMATCH, "not made for a TLS server"},
      {GNUTLS_CERT_SIGNER_CONSTRAINTS_FAILURE, "issuer constraints not met"},
  };
  for (const auto& [flag, text] : kReasons)
    if ((status & flag) != 0) return text;
  return "certificate verify failed";
}

// The reasons a TLS session most often fails for, in words; GnuTLS's own text otherwise.
std::string Reason(const TzvGnutls& tls, gnutls_session_t session, int code) {
  switch (code) {
    case GNUTLS_E_UNEXPECTED_PACKET_LENGTH:
    case GNUTLS_E_UNSUPPORTED_VERSION_PACKET:
    case GNUTLS_E_UNEXPECTED_PACKET:
    case GNUTLS_E_RECORD_OVERFLOW:
      return "the server does not speak TLS";
    case GNUTLS_E_NO_PRIORITIES_WERE_SET:
      return "no TLS version both sides speak (1.2 or 1.3 here)";
    case GNUTLS_E_NO_APPLICATION_PROTOCOL:
      return "the server speaks none of the protocols offered (ALPN)";
    case GNUTLS_E_PREMATURE_TERMINATION:
      return "the server closed the connection";
    case GNUTLS_E_FATAL_ALERT_RECEIVED:
      switch (tls.gnutls_alert_get(session)) {
        case GNUTLS_A_HANDSHAKE_FAILURE:
          return "the server refused the handshake";
        case GNUTLS_A_PROTOCOL_VERSION:
          return "no TLS version both sides speak (1.2 or 1.3 here)";
        case GNUTLS_A_NO_APPLICATION_PROTOCOL:
          return "the server speaks none of the protocols offered (ALPN)";
        default: {
          const char* name = tls.gnutls_alert_get_name(tls.gnutls_alert_get(session));
          return std::string("the server sent the alert '") + (name != nullptr ? name : "?") + "'";
        }
      }
    default:
      return tls.gnutls_strerror(code);
  }
}

bool IsNumericAddress(const std::string& text) {
  return text.find(':') != std::string::npos ||
         text.find_first_not_of("0123456789.") == std::string::npos;
}

std::string Lowered(std::string_view name) {
  std::string text = LowerCase(name);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// Whether a subjectAltName DNS entry names `host` (lower case): equal, or a wildcard that
// is the whole left-most label standing for one label ("*.example.net", never
// "d*.example.net" nor "*.net").
bool NameMatches(const std::string& pattern, const std::string& host) {
  const std::string name = Lowered(pattern);
  if (name.rfind("*.", 0) != 0) return name.find('*') == std::string::npos && name == host;
  const std::string parent = name.substr(1);  // ".example.net"
  if (parent.find('*') != std::string::npos || parent.find('.', 1) == std::string::npos)
    return false;
  const std::size_t dot = host.find('.');
  return dot != std::string::npos && dot > 0 && host.compare(dot, std::string::npos, parent) == 0;
}

constexpr std::size_t kChunk = 16384;

// One set of credentials for each way of checking the server, made the first time it is
// needed and kept for the process; sessions made under it can be resumed under it.
struct TContext {
  gnutls_certificate_credentials_t credentials = nullptr;
  std::string ca_file;
  bool insecure = false;
  // The CAs are read once, by the first session that needs them, while its server works
  // on the greeting; later sessions wait for that first reading.
  std::once_flag trust_read;
  std::string trust_failure;  // why they could not be read; empty: they were
  // The system's hashed folder, searched at each check for the CAs the chain names; empty:
  // the CAs trusted are those of the credentials.
  std::string hashed_folder;
  ~TContext() {
    if (credentials != nullptr) Gnutls().gnutls_certificate_free_credentials(credentials);
  }
};

TContext& ContextFor(const TzvTlsSettings& settings) {
  const TzvGnutls& tls = Tls();
  static std::mutex mutex;
  static std::map<std::pair<std::string, bool>, std::unique_ptr<TContext>> contexts;
  const std::string ca_file = settings.Insecure ? std::string() : settings.CaFile;
  std::lock_guard lock(mutex);
  std::unique_ptr<TContext>& entry = contexts[{ca_file, settings.Insecure}];
  if (entry != nullptr) return *entry;
  auto made = std::make_unique<TContext>();
  made->ca_file = ca_file;
  made->insecure = settings.Insecure;
  if (tls.gnutls_certificate_allocate_credentials(&made->credentials) < 0)
    throw EzvSocketError("TLS could not be set up", kzvErrTlsHandshake);
  entry = std::move(made);
  return *entry;
}

// True when `name` is that of a certificate in a folder hashed by subject ("1a2b3c4d.0"),
// as c_rehash and update-ca-certificates leave them.
bool IsHashedName(const std::string& name) {
  return name.size() >= 10 && name[8] == '.' && name.find_first_not_of("0123456789abcdef") == 8 &&
         name.find_first_not_of("0123456789", 9) == std::string::npos;
}

// True when `folder` holds certificates by their subject's hash ("1a2b3c4d.0"), as
// c_rehash and update-ca-certificates leave them.
bool HasHashedCertificates(const std::string& folder) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    if (IsHashedName(entry.path().filename().string())) return true;
  return false;
}

// Where the system keeps its CAs hashed by subject (Debian's and most systems' folder).
constexpr const char* kSystemFolder = "/etc/ssl/certs";

// Reads the CAs `context` trusts: those of its CA file alone, or the system's. The system's
// store is the one every program on the machine is told of, as OpenSSL has it: the bundle
// named by SSL_CERT_FILE and the hashed folder named by SSL_CERT_DIR (else the system's
// folder). The folder is searched by subject as the chain needs its CAs, when it is hashed
// and no other bundle is named: reading the whole store would decode a hundred and more
// certificates for the one or two a chain uses (GnuTLS's reading of Debian's bundle costs
// ten times a whole DNS over HTTPS lookup). Else the bundle is read whole, or GnuTLS's own
// store.
void ReadTrust(TContext& context) {
  std::call_once(context.trust_read, [&context] {
    const TzvGnutls& tls = Tls();
    auto add_file = [&](const std::string& file) {
      return tls.gnutls_certificate_set_x509_trust_file(context.credentials, file.c_str(),
                                                        GNUTLS_X509_FMT_PEM) >= 0;
    };
    if (!context.ca_file.empty()) {
      // A file that is no PEM bundle at all reads as none, which would fail every server
      // later as "not trusted": said here, as what it is.
      const int added = tls.gnutls_certificate_set_x509_trust_file(
          context.credentials, context.ca_file.c_str(), GNUTLS_X509_FMT_PEM);
      if (added < 0)
        context.trust_failure = "cannot read the CA certificates in " + context.ca_file;
      else if (added == 0)
        context.trust_failure = "no CA certificate in " + context.ca_file;
      return;
    }
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* named_folder = std::getenv("SSL_CERT_DIR");
    const std::string folder = named_folder != nullptr ? named_folder : kSystemFolder;
    // A bundle in the hashed folder itself holds the same CAs: update-ca-certificates
    // makes the two together.
    std::error_code error;
    const bool bundle_in_folder =
        file != nullptr &&
        std::filesystem::equivalent(std::filesystem::path(file).parent_path(), folder, error);
    if ((file == nullptr || bundle_in_folder) && HasHashedCertificates(folder)) {
      context.hashed_folder = folder;
      return;
    }
    bool loaded = file != nullptr
                      ? add_file(file)
                      : tls.gnutls_certificate_set_x509_system_trust(context.credentials) >= 0;
    if (named_folder != nullptr)
      for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (IsHashedName(entry.path().filename().string()))
          loaded = add_file(entry.path().string()) || loaded;
    if (!loaded) context.trust_failure = "cannot read the CA certificates in the system's store";
  });
  if (!context.trust_failure.empty())
    throw EzvSocketError(context.trust_failure, kzvErrTlsCertificate);
}

// The certificate's subject as OpenSSL writes it on one line, "/O=Org/CN=name", read from
// its encoding: GnuTLS's own text of a name costs a tenth of the handshake.
std::string SubjectLine(const TzvGnutls& tls, gnutls_x509_crt_t certificate) {
  gnutls_datum_t raw{};
  if (tls.gnutls_x509_crt_get_raw_dn(certificate, &raw) < 0) return {};
  std::string line = zvNameLine({raw.data, raw.size});
  tls.Free(raw.data);
  return line;
}

// The CAs of a hashed folder that may have issued a certificate of `chain`: the files filed
// under the hash of each one's issuer ("1a2b3c4d.0", ".1", ... for several of one name),
// added to `trusted`.
void AddIssuersFromFolder(const TzvGnutls& tls, const std::string& folder,
                          const std::vector<gnutls_x509_crt_t>& chain,
                          gnutls_x509_trust_list_t trusted) {
  std::vector<std::string> hashes;
  for (gnutls_x509_crt_t certificate : chain) {
    gnutls_datum_t issuer{};
    if (tls.gnutls_x509_crt_get_raw_issuer_dn(certificate, &issuer) < 0) continue;
    std::string hash = zvNameHash({issuer.data, issuer.size});
    tls.Free(issuer.data);
    if (hash.empty() || std::find(hashes.begin(), hashes.end(), hash) != hashes.end()) continue;
    for (int index = 0;; ++index) {
      const std::string file = folder + "/" + hash + "." + std::to_string(index);
      std::error_code error;
      if (!std::filesystem::exists(file, error)) break;
      tls.gnutls_x509_trust_list_add_trust_file(trusted, file.c_str(), nullptr, GNUTLS_X509_FMT_PEM,
                                                0, 0);
    }
    hashes.push_back(std::move(hash));
  }
}

// What a session hands to GnuTLS's callbacks.
struct TCallbackState {
  gnutls_session_t session = nullptr;
  std::shared_ptr<TzvTlsSessionCache> cache;
  std::string key;
  std::string certificate_failure;  // why the check refused the server; empty: it did not
  std::string subject;
  std::vector<std::uint8_t> incoming;  // received, not yet taken by GnuTLS
  std::size_t taken = 0;
  std::vector<std::uint8_t> outgoing;  // written by GnuTLS, not yet sent
  const TzvTlsSettings* settings = nullptr;
  const TContext* context = nullptr;  // with the CAs trusted
};

ssize_t Push(gnutls_transport_ptr_t pointer, const void* data, size_t size) {
  auto* state = static_cast<TCallbackState*>(pointer);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  state->outgoing.insert(state->outgoing.end(), bytes, bytes + size);
  return static_cast<ssize_t>(size);
}

ssize_t Pull(gnutls_transport_ptr_t pointer, void* data, size_t size) {
  auto* state = static_cast<TCallbackState*>(pointer);
  const std::size_t left = state->incoming.size() - state->taken;
  if (left == 0) {
    Gnutls().gnutls_transport_set_errno(state->session, EAGAIN);
    return -1;
  }
  const std::size_t part = std::min(left, size);
  std::memcpy(data, state->incoming.data() + state->taken, part);
  state->taken += part;
  if (state->taken == state->incoming.size()) {
    state->incoming.clear();
    state->taken = 0;
  }
  return static_cast<ssize_t>(part);
}

// Keeps the session the server offers for the next connection: TLS 1.3 tickets come after
// the handshake, each one a new session.
int KeepTicket(gnutls_session_t session, unsigned, unsigned, unsigned, const gnutls_datum_t*) {
  const TzvGnutls& tls = Gnutls();
  auto* state = static_cast<TCallbackState*>(tls.gnutls_session_get_ptr(session));
  if (state == nullptr || state->cache == nullptr) return 0;
  gnutls_datum_t data{};
  if (tls.gnutls_session_get_data2(session, &data) < 0) return 0;
  try {
    state->cache->Keep(state->key, std::vector<std::uint8_t>(data.data, data.data + data.size));
  } catch (...) {  // nothing may leave through GnuTLS; a session not kept is no failure
  }
  tls.Free(data.data);
  return 0;
}

// The certificate check, while the handshake runs: the chain to a trusted CA, for a TLS
// server, then the name from the subjectAltName alone (GnuTLS's own name check would take a
// CN when there is no subjectAltName, and partial wildcards).
int CheckPeer(gnutls_session_t session) noexcept {
  const TzvGnutls& tls = Gnutls();
  auto* state = static_cast<TCallbackState*>(tls.gnutls_session_get_ptr(session));
  try {
    // The chain as the server sent it, read once for the check of the chain and of the name.
    unsigned count = 0;
    const gnutls_datum_t* sent = tls.gnutls_certificate_get_peers(session, &count);
    struct TChain {
      const TzvGnutls& tls;
      std::vector<gnutls_x509_crt_t> certificates;
      ~TChain() {
        for (gnutls_x509_crt_t certificate : certificates) tls.gnutls_x509_crt_deinit(certificate);
      }
    } chain{tls, {}};
    // A server sends its certificate and the few CAs above it; more is no chain to check.
    constexpr unsigned kMostCertificates = 16;
    for (unsigned i = 0; sent != nullptr && i < std::min(count, kMostCertificates); ++i) {
      gnutls_x509_crt_t certificate = nullptr;
      if (tls.gnutls_x509_crt_init(&certificate) < 0) break;
      chain.certificates.push_back(certificate);
      if (tls.gnutls_x509_crt_import(certificate, &sent[i], GNUTLS_X509_FMT_DER) < 0) {
        chain.certificates.pop_back();
        tls.gnutls_x509_crt_deinit(certificate);
        break;
      }
    }
    if (chain.certificates.empty()) {
      state->certificate_failure = "certificate not trusted (no readable certificate)";
      return -1;
    }
    gnutls_x509_crt_t certificate = chain.certificates.front();
    state->subject = SubjectLine(tls, certificate);
    gnutls_x509_trust_list_t trusted = nullptr;
    struct TFound {
      const TzvGnutls& tls;
      gnutls_x509_trust_list_t list = nullptr;
      ~TFound() {
        if (list != nullptr) tls.gnutls_x509_trust_list_deinit(list, 1);
      }
    } found{tls};
    if (!state->context->hashed_folder.empty()) {
      if (tls.gnutls_x509_trust_list_init(&found.list, 0) < 0) {
        state->certificate_failure = "certificate not trusted (no memory)";
        return -1;
      }
      AddIssuersFromFolder(tls, state->context->hashed_folder, chain.certificates, found.list);
      trusted = found.list;
    } else {
      tls.gnutls_certificate_get_trust_list(state->context->credentials, &trusted);
    }
    gnutls_typed_vdata_st purpose{};
    purpose.type = GNUTLS_DT_KEY_PURPOSE_OID;
    purpose.data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER));
    unsigned status = 0;
    const int verified = tls.gnutls_x509_trust_list_verify_crt2(
        trusted, chain.certificates.data(), static_cast<unsigned>(chain.certificates.size()),
        &purpose, 1, 0, &status, nullptr);
    if (verified < 0) {
      state->certificate_failure =
          std::string("certificate not trusted (") + tls.gnutls_strerror(verified) + ")";
      return -1;
    }
    if (status != 0) {
      state->certificate_failure =
          CertificateProblem(status) + " (" + CertificateDetail(status) + ")";
      return -1;
    }

    const TzvTlsSettings& settings = *state->settings;
    const bool by_name = !settings.HostName.empty() && !IsNumericAddress(settings.HostName);
    const std::string wanted =
        by_name ? Lowered(settings.HostName)
                : (settings.HostName.empty() ? settings.Address : settings.HostName);
    std::array<unsigned char, 16> address{};
    std::size_t address_size = 0;
    if (!by_name) {
      if (::inet_pton(AF_INET, wanted.c_str(), address.data()) == 1) {
        address_size = 4;
      } else if (::inet_pton(AF_INET6, wanted.c_str(), address.data()) == 1) {
        address_size = 16;
      }
    }
    std::vector<char> entry(256);
    for (unsigned index = 0;; ++index) {
      std::size_t size = entry.size();
      int type = tls.gnutls_x509_crt_get_subject_alt_name(certificate, index, entry.data(), &size,
                                                          nullptr);
      if (type == GNUTLS_E_SHORT_MEMORY_BUFFER) {
        entry.resize(size + 1);
        size = entry.size();
        type = tls.gnutls_x509_crt_get_subject_alt_name(certificate, index, entry.data(), &size,
                                                        nullptr);
      }
      if (type < 0) break;  // no more entries
      if (by_name && type == GNUTLS_SAN_DNSNAME &&
          NameMatches(std::string(entry.data(), size), wanted))
        return 0;
      if (!by_name && type == GNUTLS_SAN_IPADDRESS && address_size != 0 && size == address_size &&
          std::memcmp(entry.data(), address.data(), size) == 0)
        return 0;
    }
    state->certificate_failure =
        "name mismatch (the certificate is not made out to " + wanted + ")";
  } catch (...) {
    state->certificate_failure = "certificate not trusted";
  }
  return -1;
}

}  // namespace

struct TzvTlsSession::TState {
  TCallbackState callbacks;
  gnutls_session_t& session = callbacks.session;
  ~TState() {
    if (session != nullptr) Gnutls().gnutls_deinit(session);
  }
};

TzvTlsSession::TzvTlsSession(TzvTcpClientConnection& connection, TzvTlsSettings settings)
    : connection_(connection), settings_(std::move(settings)) {}

TzvTlsSession::~TzvTlsSession() = default;

void TzvTlsSession::Fail(int result, const char* during) {
  if (state_ != nullptr && !state_->callbacks.certificate_failure.empty())
    throw EzvSocketError("TLS certificate check failed: " + state_->callbacks.certificate_failure,
                         kzvErrTlsCertificate);
  throw EzvSocketError(std::string("TLS failed during ") + during + ": " +
                           Reason(Tls(), state_ != nullptr ? state_->session : nullptr, result),
                       kzvErrTlsHandshake);
}

void TzvTlsSession::Flush() {
  std::vector<std::uint8_t>& outgoing = state_->callbacks.outgoing;
  if (outgoing.empty()) return;
  TMemoryStream out;
  out.Write(outgoing.data(), static_cast<std::int64_t>(outgoing.size()));
  out.SetPosition(0);
  outgoing.clear();
  connection_.WriteData(&out);
}

bool TzvTlsSession::Fill() {
  if (state_->callbacks.incoming.size() > state_->callbacks.taken ||
      Gnutls().gnutls_record_check_pending(state_->session) > 0)
    return true;
  Flush();  // what the server needs before it can answer
  TMemoryStream in;
  const bool more = connection_.ReadData(&in, kChunk);
  connection_.GetNetworkStream().AcknowledgeAtOnce();
  if (!more && in.Size() == 0) return false;
  std::vector<std::uint8_t>& incoming = state_->callbacks.incoming;
  incoming.insert(incoming.end(), in.Memory(), in.Memory() + in.Size());
  return true;
}

void TzvTlsSession::Handshake() {
  const TzvGnutls& tls = Tls();
  connection_.GetNetworkStream().DisableDelay();
  TContext& context = ContextFor(settings_);
  const gnutls_priority_t priorities = Priorities();
  state_ = std::make_unique<TState>();
  TCallbackState& callbacks = state_->callbacks;
  callbacks.settings = &settings_;
  callbacks.context = &context;
  // Without a place to keep them, tickets are not asked for: the server need not make them.
  const unsigned flags = GNUTLS_CLIENT | GNUTLS_NONBLOCK | GNUTLS_KEY_SHARE_TOP |
                         (settings_.Sessions == nullptr ? GNUTLS_NO_TICKETS : 0);
  if (tls.gnutls_init(&state_->session, flags) < 0) {
    state_->session = nullptr;
    throw EzvSocketError("TLS could not be set up", kzvErrTlsHandshake);
  }
  gnutls_session_t session = state_->session;
  int set = tls.gnutls_priority_set(session, priorities);
  if (set >= 0)
    set = tls.gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, context.credentials);
  tls.gnutls_session_set_ptr(session, &callbacks);
  tls.gnutls_transport_set_ptr(session, &callbacks);
  tls.gnutls_transport_set_push_function(session, Push);
  tls.gnutls_transport_set_pull_function(session, Pull);
  const bool by_name = !settings_.HostName.empty() && !IsNumericAddress(settings_.HostName);
  if (set >= 0 && by_name)
    set = tls.gnutls_server_name_set(session, GNUTLS_NAME_DNS, settings_.HostName.data(),
                                     settings_.HostName.size());
  if (!settings_.Insecure) tls.gnutls_session_set_verify_function(session, CheckPeer);
  if (set >= 0 && !settings_.Alpn.empty()) {
    std::vector<gnutls_datum_t> protocols;
    for (const std::string& protocol : settings_.Alpn)
      protocols.push_back({reinterpret_cast<unsigned char*>(const_cast<char*>(protocol.data())),
                           static_cast<unsigned>(protocol.size())});
    set = tls.gnutls_alpn_set_protocols(session, protocols.data(),
                                        static_cast<unsigned>(protocols.size()), 0);
  }
  if (set < 0) Fail(set, "set-up");
  if (settings_.Sessions != nullptr) {
    callbacks.cache = settings_.Sessions;
    callbacks.key =
        TzvTlsSessionCache::KeyOf(settings_.HostName, settings_.Address, connection_.RemotePort(),
                                  settings_.CaFile, settings_.Insecure);
    tls.gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_NEW_SESSION_TICKET,
                                           GNUTLS_HOOK_POST, KeepTicket);
    const std::vector<std::uint8_t> kept = settings_.Sessions->Find(callbacks.key);
    if (!kept.empty()) tls.gnutls_session_set_data(session, kept.data(), kept.size());
  }

  try {
    for (;;) {
      const int result = tls.gnutls_handshake(session);
      // Our last flight (the Finished) waits for the first question and goes out with it:
      // one segment, which the server reads at once.
      if (result != GNUTLS_E_SUCCESS) Flush();
      // The greeting is on its way: the CAs are read while the server answers it, and
      // what the caller asked to have ready.
      if (!settings_.Insecure) ReadTrust(context);
      if (settings_.WhileGreeting) {
        try {
          std::exchange(settings_.WhileGreeting, nullptr)();
        } catch (...) {
        }
      }
      if (result == GNUTLS_E_SUCCESS) break;
      if (result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED) {
        if (!Fill())
          throw EzvSocketError("the server closed the connection during the TLS handshake",
                               kzvErrTlsHandshake);
        continue;
      }
      if (tls.gnutls_error_is_fatal(result) != 0) Fail(result, "the handshake");
    }
  } catch (const EzvSocketError& e) {
    // A plain DNS server on the TLS port takes the greeting for the start of a long
    // question and waits for the rest: say what the silence most likely means.
    if (e.ErrorCode() != kzvErrTimeout) throw;
    throw EzvSocketError(
        "no TLS handshake from the server within the time-out (is it a TLS server?)",
        kzvErrTimeout);
  }

  // A resumed session was checked when it was made, with the same CAs (they are part of
  // the cache's key), and is not checked again.
  info_.Resumed = tls.gnutls_session_is_resumed(session) != 0;
  const gnutls_protocol_t version = tls.gnutls_protocol_get_version(session);
  info_.Version = version == GNUTLS_TLS1_3   ? "TLSv1.3"
                  : version == GNUTLS_TLS1_2 ? "TLSv1.2"
                                             : "TLS";
  if (const char* suite = tls.gnutls_ciphersuite_get(session)) info_.Cipher = suite;
  info_.Subject = callbacks.subject;
  if (info_.Subject.empty()) {
    // Not checked here (unchecked, or resumed): read from the certificate itself.
    unsigned count = 0;
    const gnutls_datum_t* chain = tls.gnutls_certificate_get_peers(session, &count);
    gnutls_x509_crt_t certificate = nullptr;
    if (chain != nullptr && count > 0 && tls.gnutls_x509_crt_init(&certificate) >= 0) {
      if (tls.gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) >= 0)
        info_.Subject = SubjectLine(tls, certificate);
      tls.gnutls_x509_crt_deinit(certificate);
    }
  }
  gnutls_datum_t chosen{};
  if (tls.gnutls_alpn_get_selected_protocol(session, &chosen) == 0 && chosen.data != nullptr)
    info_.Alpn.assign(reinterpret_cast<const char*>(chosen.data), chosen.size);
  // A TLS 1.2 server's ticket came within the handshake: the session is whole only now.
  if (version != GNUTLS_TLS1_3 && callbacks.cache != nullptr) KeepTicket(session, 0, 0, 0, nullptr);
}

void TzvTlsSession::Write(const std::uint8_t* data, std::size_t size) {
  const TzvGnutls& tls = Tls();
  while (size > 0) {
    const std::size_t part = std::min(size, kChunk);
    const ssize_t written = tls.gnutls_record_send(state_->session, data, part);
    Flush();
    if (written > 0) {
      data += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    const int error = static_cast<int>(written);
    if (error == GNUTLS_E_AGAIN || error == GNUTLS_E_INTERRUPTED) {
      if (!Fill()) throw EzvSocketError("the server closed the TLS connection", kzvErrTlsHandshake);
      continue;
    }
    if (tls.gnutls_error_is_fatal(error) != 0) Fail(error, "sending");
  }
}

bool TzvTlsSession::Read(TStream* data, std::int64_t most) {
  const TzvGnutls& tls = Tls();
  std::array<std::uint8_t, kChunk> chunk;
  for (;;) {
    const std::size_t wanted = most < 0 || most > static_cast<std::int64_t>(kChunk)
                                   ? kChunk
                                   : static_cast<std::size_t>(most);
    const ssize_t read = tls.gnutls_record_recv(state_->session, chunk.data(), wanted);
    // A TLS 1.3 server may send tickets or key updates that need an answer.
    Flush();
    if (read > 0) {
      data->WriteBuffer(chunk.data(), read);
      return true;
    }
    if (read == 0) return false;  // the server's goodbye
    const int error = static_cast<int>(read);
    // A peer that closes without TLS's own goodbye ends the stream just the same.
    if (error == GNUTLS_E_PREMATURE_TERMINATION) return false;
    if (error == GNUTLS_E_AGAIN || error == GNUTLS_E_INTERRUPTED) {
      if (!Fill()) return false;
      continue;
    }
    if (tls.gnutls_error_is_fatal(error) != 0) Fail(error, "receiving");
  }
}
