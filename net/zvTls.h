// TLS over a connected stream, for DNS over TLS and over HTTPS: TLS 1.2 or 1.3 through
// GnuTLS (net/zvGnutls.h), loaded the first time an encrypted lookup needs it (a plain
// lookup never pays for it). GnuTLS reads and writes memory buffers here and the bytes
// travel through the connection's own reads and writes, so every wait is the connection's:
// its time-out counts from Open for the whole exchange, Abort ends it, and the window stays
// responsive.
//
// The server's certificate is checked as a browser checks it: a chain to a trusted CA
// (the system's store, or the CA file given), valid now, made for a TLS server, and made out
// to the name asked for (or to the address, when no name was given) in its subjectAltName,
// where a wildcard stands only for a whole left-most label. A failed check is an error;
// nothing is ever sent in plain text instead.
//
// The library's set-up is much of what one encrypted lookup costs, so only what is used is
// set up, once per process: the priorities once, one set of credentials for each way of
// checking (CA file, or the system's store, or none) shared by every session, the CAs of
// the file given (and no others) read while the server works on the greeting, and one key
// share offered, for the group nearly every server takes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/zvSocket.h"
#include "net/zvTlsSessionCache.h"

// Library codes of TLS failures (see net/zvSocketUtils.h for the others).
inline constexpr std::int32_t kzvErrTlsUnavailable = -9;   // GnuTLS could not be loaded
inline constexpr std::int32_t kzvErrTlsHandshake = -10;    // no TLS session came about
inline constexpr std::int32_t kzvErrTlsCertificate = -11;  // the certificate check failed

struct TzvTlsSettings {
  // The name the certificate must carry, also sent as SNI; empty: check Address instead.
  std::string HostName;
  std::string Address;  // the server's numeric address
  std::string CaFile;   // trust only the CAs of this file; empty: the system's store
  // No certificate check at all; callers spell this out to the user.
  bool Insecure = false;
  // Protocols offered by ALPN ("h2", "http/1.1"), in order of preference; empty: none.
  std::vector<std::string> Alpn;
  // Where sessions are kept and offered again to the same server; null: no resumption.
  std::shared_ptr<TzvTlsSessionCache> Sessions;
  // Work the caller will need after the handshake, done while the server answers the
  // greeting instead (once; its failures are left for the caller to meet again later).
  std::function<void()> WhileGreeting;
};

// What the session agreed, for --verbose and the status bar.
struct TzvTlsInfo {
  std::string Version;   // "TLSv1.3"
  std::string Cipher;    // "TLS_AES_256_GCM_SHA384"
  std::string Subject;   // the certificate's subject, "/CN=dns.pellamar.test"
  std::string Alpn;      // the protocol the server chose; empty: none
  bool Resumed = false;  // a kept session was taken up again: no full handshake
};

class TzvTlsSession {
 public:
  // `connection` must be open and outlive the session.
  TzvTlsSession(TzvTcpClientConnection& connection, TzvTlsSettings settings);
  ~TzvTlsSession();
  TzvTlsSession(const TzvTlsSession&) = delete;
  TzvTlsSession& operator=(const TzvTlsSession&) = delete;

  // Runs the handshake and checks the certificate. Fails with kzvErrTlsCertificate and
  // the reason ("certificate not trusted", "name mismatch", "expired"), kzvErrTlsHandshake,
  // kzvErrTlsUnavailable, or the connection's own errors (time-out, Abort, reset).
  void Handshake();
  // Sends all of `data` encrypted.
  void Write(const std::uint8_t* data, std::size_t size);
  // Writes what arrives, decrypted, at `data`'s position (at most `most` bytes, waiting
  // for some first); false once the server has closed the session.
  bool Read(TStream* data, std::int64_t most);

  const TzvTlsInfo& Info() const { return info_; }

 private:
  struct TState;
  // Sends what GnuTLS has written to its outgoing buffer.
  void Flush();
  // Feeds what the connection receives to GnuTLS; false when the peer closed. GnuTLS may
  // ask for more while it still holds what was received (after a TLS 1.3 ticket, say):
  // then nothing is waited for.
  bool Fill();
  [[noreturn]] void Fail(int result, const char* during);

  TzvTcpClientConnection& connection_;
  TzvTlsSettings settings_;
  std::unique_ptr<TState> state_;
  TzvTlsInfo info_;
};
