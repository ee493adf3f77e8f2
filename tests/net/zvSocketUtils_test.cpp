#include "net/zvSocketUtils.h"

#include <netdb.h>

#include <gtest/gtest.h>
#include <cerrno>

namespace {

TEST(SocketError, SystemCodesCarryTheTrimmedSystemText) {
  for (int code : {kzvWouldBlock, kzvNotASocket, kzvMessageTooLong, kzvAddressInUse,
                   kzvAccessDenied, kzvHostNotFound, kzvTryAgain, kzvNoRecovery, kzvNoData}) {
    const std::string text = SystemErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_GT(static_cast<unsigned char>(text.front()), ' ') << code;
    EXPECT_GT(static_cast<unsigned char>(text.back()), ' ') << code;
    try {
      RaiseSocketError(code);
      FAIL() << "no error";
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), code);
      EXPECT_EQ(e.Message(), text);
    }
  }
}

TEST(SocketError, CodeWithoutSystemTextGivesEmptyMessage) {
  for (int code : {0, 9999, 100000, -5}) {
    try {
      RaiseSocketError(code);
      FAIL() << "no error";
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), code);
      EXPECT_EQ(e.Message(), "") << code;
    }
  }
}

TEST(SocketError, LibraryTextsPassUnchanged) {
  try {
    RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
    FAIL() << "no error";
  } catch (const EzvSocketError& e) {
    EXPECT_STREQ(e.what(), "Timeout error occured");
    EXPECT_EQ(e.ErrorCode(), -1);
  }
  EXPECT_THROW(RaiseSocketErrorText(" padded ", -2), Exception);
}

TEST(SocketError, HostLookupFailuresGetPositiveNumbers) {
  EXPECT_EQ(HostLookupErrorCode(0), 0);
  EXPECT_EQ(HostLookupErrorCode(EAI_NONAME), kzvHostNotFound);
  EXPECT_EQ(HostLookupErrorCode(EAI_AGAIN), kzvTryAgain);
  EXPECT_EQ(HostLookupErrorCode(EAI_FAIL), kzvNoRecovery);
  EXPECT_EQ(HostLookupErrorCode(EAI_NODATA), kzvNoData);
}

}  // namespace
