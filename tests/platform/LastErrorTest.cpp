#include "platform/LastError.h"
#include "platform/SysMessage.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace Platform;

TEST(LastErrorTest, LastErrorIsPerThread) {
  SetLastError(errAccessDenied);
  uint32_t seenByOther = 12345;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(errInvalidHandle);
  });
  other.join();
  EXPECT_EQ(seenByOther, errSuccess) << "a new thread starts without an error";
  EXPECT_EQ(GetLastError(), errAccessDenied) << "another thread's error leaked into this one";
  SetLastError(errSuccess);
  EXPECT_EQ(GetLastError(), errSuccess);
}

TEST(LastErrorTest, ErrnoMapsToTheNumbersCallersCompareAgainst) {
  EXPECT_EQ(ErrorFromErrno(0), 0u);
  EXPECT_EQ(ErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(ErrorFromErrno(ENOTDIR), 3u);
  EXPECT_EQ(ErrorFromErrno(EMFILE), 4u);
  EXPECT_EQ(ErrorFromErrno(ENFILE), 4u);
  EXPECT_EQ(ErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(ErrorFromErrno(EPERM), 5u);
  EXPECT_EQ(ErrorFromErrno(EBUSY), 5u);
  EXPECT_EQ(ErrorFromErrno(EBADF), 6u);
  EXPECT_EQ(ErrorFromErrno(ENOMEM), 8u);
  EXPECT_EQ(ErrorFromErrno(EINVAL), 87u);
  EXPECT_EQ(ErrorFromErrno(EPIPE), errBrokenPipe);
  EXPECT_EQ(ErrorFromErrno(ETIMEDOUT), 121u);
  EXPECT_EQ(ErrorFromErrno(ECANCELED), 995u);
  EXPECT_EQ(ErrorFromErrno(EAGAIN), 997u);
  EXPECT_EQ(ErrorFromErrno(EWOULDBLOCK), 997u);
  EXPECT_EQ(ErrorFromErrno(ENOTTY), errInvalidFunction);
  for (int gone : {EIO, ENXIO, ENODEV}) {
    EXPECT_EQ(ErrorFromErrno(gone), 1167u) << "errno " << gone;
  }
}

TEST(LastErrorTest, UnknownErrnoBecomesGeneralFailure) {
  EXPECT_EQ(ErrorFromErrno(EHOSTUNREACH), errGenFailure);
  EXPECT_EQ(ErrorFromErrno(-1), errGenFailure);
  EXPECT_EQ(ErrorFromErrno(100000), errGenFailure);
}

TEST(LastErrorTest, RealSystemCallFailuresMapThroughTheOnePlace) {
  ASSERT_EQ(::open("/nonexistent-ringlet-dir/file", O_RDONLY), -1);
  EXPECT_EQ(SetLastErrorFromErrno(errno), errFileNotFound);
  EXPECT_EQ(GetLastError(), errFileNotFound);

  ASSERT_EQ(::open("/dev/null/child", O_RDONLY), -1);
  EXPECT_EQ(SetLastErrorFromErrno(errno), errPathNotFound);

  char byte = 0;
  ASSERT_EQ(::read(-1, &byte, 1), -1);
  EXPECT_EQ(SetLastErrorFromErrno(errno), errInvalidHandle);
  EXPECT_EQ(GetLastError(), errInvalidHandle);
}

TEST(SysMessageTest, EveryNumberTheLayerProducesHasAText) {
  const uint32_t produced[] = {errInvalidFunction,
                               errFileNotFound,
                               errPathNotFound,
                               errTooManyOpenFiles,
                               errAccessDenied,
                               errInvalidHandle,
                               errNotEnoughMemory,
                               errBadExeFormat,
                               errNotSameDevice,
                               errWriteProtect,
                               errFileExists,
                               errInvalidParameter,
                               errBrokenPipe,
                               errDiskFull,
                               errCallNotImplemented,
                               errNotSupported,
                               errSemTimeout,
                               errFilenameExcedRange,
                               errDirNotEmpty,
                               errOperationAborted,
                               errIoPending,
                               errIoIncomplete,
                               errNoAccess,
                               errNoSystemResources,
                               errDeviceNotConnected,
                               errDeviceRemoved,
                               errGenFailure,
                               errSharingViolation,
                               errProcNotFound,
                               errModNotFound,
                               errNotOwner,
                               errWaitTimeout,
                               errTimeout,
                               errInvalidWindowHandle,
                               errClassAlreadyExists,
                               errClassDoesNotExist};
  for (uint32_t code : produced) {
    EXPECT_FALSE(SystemErrorText(code).empty()) << "no text for " << code;
  }
  for (uint32_t code = 1; code <= 32; ++code) {
    EXPECT_FALSE(SystemErrorText(code).empty()) << "no text for " << code;
  }
}

TEST(SysMessageTest, TextsAreFormattedAsSystemMessages) {
  EXPECT_EQ(SystemErrorText(2), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(SystemErrorText(7), "The storage control blocks were destroyed.\r\n");
  EXPECT_EQ(SystemErrorText(5), "Access is denied.\r\n");
  for (uint32_t code = 0; code < 3000; ++code) {
    const std::string text = SystemErrorText(code);
    if (text.empty()) {
      continue;
    }
    ASSERT_GE(text.size(), 4u) << code;
    EXPECT_EQ(text.substr(text.size() - 3), ".\r\n") << "text of " << code;
    // Every line break is a CR LF pair; no bare LF or CR.
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n') {
        EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF in " << code;
      }
      if (text[i] == '\r') {
        EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR in " << code;
      }
    }
  }
  // Some texts take two lines.
  const std::string twoLines = SystemErrorText(errDeviceRemoved);
  EXPECT_NE(twoLines.find("\r\n"), twoLines.size() - 2);
}

TEST(SysMessageTest, NumbersWithoutATextGiveEmpty) {
  EXPECT_EQ(SystemErrorText(35), "");
  EXPECT_EQ(SystemErrorText(2007), "");
  EXPECT_EQ(SystemErrorText(0xFFFFFFFFu), "");
  EXPECT_EQ(SystemErrorText(13800), "");
}
