// GnuTLS (libgnutls.so.30, with nettle beneath it), the one TLS and cryptography library of
// the program: TLS for DNS over TLS and over HTTPS (net/zvTls.h) and the signatures and
// digests of DNSSEC (dns/zvDnssecCrypto.h). It is loaded the first time one of them needs it
// and kept for the process: a plain lookup never loads it, and loading it at start-up would
// weigh on every run of the companion. Its functions are reached through the table below,
// bound when it is loaded.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <string>

#define PELLAMAR_GNUTLS_FUNCTIONS(X)          \
  X(gnutls_check_version)                     \
  X(gnutls_strerror)                          \
  X(gnutls_error_is_fatal)                    \
  X(gnutls_priority_init2)                    \
  X(gnutls_certificate_allocate_credentials)  \
  X(gnutls_certificate_free_credentials)      \
  X(gnutls_certificate_set_x509_trust_file)   \
  X(gnutls_certificate_set_x509_system_trust) \
  X(gnutls_certificate_get_peers)             \
  X(gnutls_certificate_get_trust_list)        \
  X(gnutls_x509_trust_list_verify_crt2)       \
  X(gnutls_init)                              \
  X(gnutls_deinit)                            \
  X(gnutls_priority_set)                      \
  X(gnutls_credentials_set)                   \
  X(gnutls_server_name_set)                   \
  X(gnutls_alpn_set_protocols)                \
  X(gnutls_alpn_get_selected_protocol)        \
  X(gnutls_session_set_verify_function)       \
  X(gnutls_session_set_ptr)                   \
  X(gnutls_session_get_ptr)                   \
  X(gnutls_transport_set_ptr)                 \
  X(gnutls_transport_set_push_function)       \
  X(gnutls_transport_set_pull_function)       \
  X(gnutls_transport_set_errno)               \
  X(gnutls_handshake_set_hook_function)       \
  X(gnutls_handshake)                         \
  X(gnutls_session_get_data2)                 \
  X(gnutls_session_set_data)                  \
  X(gnutls_session_is_resumed)                \
  X(gnutls_record_send)                       \
  X(gnutls_record_recv)                       \
  X(gnutls_record_check_pending)              \
  X(gnutls_alert_get)                         \
  X(gnutls_alert_get_name)                    \
  X(gnutls_protocol_get_version)              \
  X(gnutls_ciphersuite_get)                   \
  X(gnutls_x509_crt_init)                     \
  X(gnutls_x509_crt_deinit)                   \
  X(gnutls_x509_crt_import)                   \
  X(gnutls_x509_crt_get_subject_alt_name)     \
  X(gnutls_x509_crt_get_raw_dn)               \
  X(gnutls_x509_crt_get_raw_issuer_dn)        \
  X(gnutls_x509_trust_list_init)              \
  X(gnutls_x509_trust_list_deinit)            \
  X(gnutls_x509_trust_list_add_trust_file)    \
  X(gnutls_pubkey_init)                       \
  X(gnutls_pubkey_deinit)                     \
  X(gnutls_pubkey_import_rsa_raw)             \
  X(gnutls_pubkey_import_ecc_raw)             \
  X(gnutls_pubkey_verify_data2)               \
  X(gnutls_encode_rs_value)                   \
  X(gnutls_hash_init)                         \
  X(gnutls_hash)                              \
  X(gnutls_hash_output)                       \
  X(gnutls_hash_deinit)                       \
  X(gnutls_hash_get_len)                      \
  X(gnutls_hash_fast)

struct TzvGnutls {
#define PELLAMAR_DECLARE(name) decltype(&::name) name = nullptr;
  PELLAMAR_GNUTLS_FUNCTIONS(PELLAMAR_DECLARE)
#undef PELLAMAR_DECLARE
  // Frees what the library allocated for the caller (a variable in the library, not a
  // function, hence apart).
  gnutls_free_function Free = nullptr;
  // Why the library could not be loaded; empty: it was.
  std::string Failure;
};

// The library, loaded on the first call. Callers check Failure and raise their own error.
const TzvGnutls& Gnutls();
