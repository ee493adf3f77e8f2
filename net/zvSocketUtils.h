// The one failure family of the socket and transport layers. Codes below zero are the
// library's own, with fixed texts; codes above zero are system error numbers (errno
// values, or the host-lookup numbers 11001-11004) with the system's text.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

#include "base/SysUtils.h"

class EzvSocketError : public Exception {
 public:
  EzvSocketError(std::string message, std::int32_t error_code)
      : Exception(std::move(message)), error_code_(error_code) {}
  std::int32_t ErrorCode() const { return error_code_; }

 private:
  std::int32_t error_code_;
};

// Library codes and their fixed texts.
inline constexpr std::int32_t kzvErrTimeout = -1;
inline constexpr std::int32_t kzvErrInvalidHostAddress = -2;
inline constexpr std::int32_t kzvErrInvalidPort = -3;
inline constexpr std::int32_t kzvErrInvalidBatchSize = -4;
inline constexpr std::int32_t kzvErrNetworkStreamRequired = -5;
inline constexpr std::int32_t kzvErrInvalidAddressFamily = -7;
// A wait ended by the caller's Abort.
inline constexpr std::int32_t kzvErrAborted = -8;

inline constexpr const char* SzvTimeoutError = "Timeout error occured";
inline constexpr const char* SzvInvalidHostAddress = "Invalid host address";
inline constexpr const char* SzvInvalidPortNumber = "Invalid port number";
inline constexpr const char* SzvInvalidBatchSize = "Invalid Batch Size";
inline constexpr const char* SzvNetworkStreamRequired = "NetworkStream is required";
inline constexpr const char* SzvInvalidAddressFamily = "Invalid address family";
inline constexpr const char* SzvAborted = "The lookup was stopped";

// System error numbers the library tells apart, named after their meaning.
inline constexpr std::int32_t kzvWouldBlock = EWOULDBLOCK;  // also EAGAIN on Linux
inline constexpr std::int32_t kzvAccessDenied = EACCES;
inline constexpr std::int32_t kzvNotASocket = ENOTSOCK;
inline constexpr std::int32_t kzvMessageTooLong = EMSGSIZE;
inline constexpr std::int32_t kzvAddressInUse = EADDRINUSE;
inline constexpr std::int32_t kzvConnectionReset = ECONNRESET;
inline constexpr std::int32_t kzvConnectionRefused = ECONNREFUSED;
inline constexpr std::int32_t kzvInProgress = EINPROGRESS;

// Host-lookup failures. glibc reports them as negative EAI_* values, which would collide
// with the library's own negative codes, so they get positive numbers of their own.
inline constexpr std::int32_t kzvHostNotFound = 11001;
inline constexpr std::int32_t kzvTryAgain = 11002;
inline constexpr std::int32_t kzvNoRecovery = 11003;  // also "operation absent"
inline constexpr std::int32_t kzvNoData = 11004;

// Maps a getaddrinfo result (0 or an EAI_* value) to 0 or one of the host-lookup numbers.
std::int32_t HostLookupErrorCode(int eai_code);

// The system's text for a code, trimmed of blanks and line ends; empty when the system
// has none. At most 255 characters.
std::string SystemErrorText(std::int32_t code);

[[noreturn]] void RaiseSocketError(std::int32_t code);
[[noreturn]] void RaiseSocketErrorText(const std::string& text, std::int32_t code);
