// LastError: the error numbers of the platform layer and the per-thread "last error".
//
// Callers above this layer compare against fixed numbers (2 "file not found", 5 "access
// denied", 997 "I/O pending", ...), so the numbers are kept exactly as the rest of the
// program expects them.  Every layer function that fails sets the calling thread's last
// error; nothing else touches it.  errno is turned into these numbers in one place only,
// ErrorFromErrno(); an errno without a sensible counterpart becomes errGenFailure (31).
#pragma once

#include <cerrno>
#include <cstdint>

namespace Platform {

inline constexpr uint32_t errSuccess = 0;
inline constexpr uint32_t errInvalidFunction = 1;
inline constexpr uint32_t errFileNotFound = 2;
inline constexpr uint32_t errPathNotFound = 3;
inline constexpr uint32_t errTooManyOpenFiles = 4;
inline constexpr uint32_t errAccessDenied = 5;
inline constexpr uint32_t errInvalidHandle = 6;
inline constexpr uint32_t errArenaTrashed = 7;
inline constexpr uint32_t errNotEnoughMemory = 8;
inline constexpr uint32_t errInvalidBlock = 9;
inline constexpr uint32_t errBadEnvironment = 10;
inline constexpr uint32_t errBadFormat = 11;
inline constexpr uint32_t errInvalidAccess = 12;
inline constexpr uint32_t errInvalidData = 13;
inline constexpr uint32_t errOutOfMemory = 14;
inline constexpr uint32_t errNotSameDevice = 17;
inline constexpr uint32_t errNoMoreFiles = 18;
inline constexpr uint32_t errWriteProtect = 19;
inline constexpr uint32_t errBadUnit = 20;
inline constexpr uint32_t errNotReady = 21;
inline constexpr uint32_t errBadCommand = 22;
inline constexpr uint32_t errCrc = 23;
inline constexpr uint32_t errBadLength = 24;
inline constexpr uint32_t errSeek = 25;
inline constexpr uint32_t errWriteFault = 29;
inline constexpr uint32_t errReadFault = 30;
inline constexpr uint32_t errGenFailure = 31;
inline constexpr uint32_t errSharingViolation = 32;
inline constexpr uint32_t errLockViolation = 33;
inline constexpr uint32_t errHandleEof = 38;
inline constexpr uint32_t errNotSupported = 50;
inline constexpr uint32_t errFileExists = 80;
inline constexpr uint32_t errInvalidParameter = 87;
inline constexpr uint32_t errBrokenPipe = 109;
inline constexpr uint32_t errDiskFull = 112;
inline constexpr uint32_t errCallNotImplemented = 120;
inline constexpr uint32_t errSemTimeout = 121;
inline constexpr uint32_t errInsufficientBuffer = 122;
inline constexpr uint32_t errInvalidName = 123;
inline constexpr uint32_t errModNotFound = 126;
inline constexpr uint32_t errProcNotFound = 127;
inline constexpr uint32_t errDirNotEmpty = 145;
inline constexpr uint32_t errBusy = 170;
inline constexpr uint32_t errAlreadyExists = 183;
inline constexpr uint32_t errBadExeFormat = 193;
inline constexpr uint32_t errFilenameExcedRange = 206;
inline constexpr uint32_t errNoData = 232;
inline constexpr uint32_t errMoreData = 234;
inline constexpr uint32_t errWaitTimeout = 258;
inline constexpr uint32_t errNoMoreItems = 259;
inline constexpr uint32_t errNotOwner = 288;
inline constexpr uint32_t errOperationAborted = 995;
inline constexpr uint32_t errIoIncomplete = 996;
inline constexpr uint32_t errIoPending = 997;
inline constexpr uint32_t errNoAccess = 998;
inline constexpr uint32_t errIoDevice = 1117;
inline constexpr uint32_t errDeviceNotConnected = 1167;
inline constexpr uint32_t errNotFound = 1168;
inline constexpr uint32_t errInvalidWindowHandle = 1400;
inline constexpr uint32_t errCannotFindWndClass = 1407;
inline constexpr uint32_t errClassAlreadyExists = 1410;
inline constexpr uint32_t errClassDoesNotExist = 1411;
inline constexpr uint32_t errInvalidThreadId = 1444;
inline constexpr uint32_t errNoSystemResources = 1450;
inline constexpr uint32_t errTimeout = 1460;
inline constexpr uint32_t errDeviceRemoved = 1617;

// The calling thread's last error; each thread has its own, starting at errSuccess.
uint32_t GetLastError() noexcept;
void SetLastError(uint32_t code) noexcept;

// The layer's number for an errno value (0 gives errSuccess).  Summary:
//   ENOENT -> 2, ENOTDIR/ELOOP -> 3, EMFILE/ENFILE -> 4, EACCES/EPERM/EBUSY/EISDIR -> 5,
//   EBADF -> 6, ENOMEM -> 8, ENOEXEC -> 193, EXDEV -> 17, EROFS -> 19, EEXIST -> 80,
//   EINVAL/ERANGE/EDOM -> 87, EPIPE -> 109, ENOSPC/EDQUOT -> 112, ENOSYS -> 120,
//   ENOTTY -> 1, EOPNOTSUPP -> 50, ETIMEDOUT/ETIME -> 121, ENAMETOOLONG -> 206,
//   ENOTEMPTY -> 145, ECANCELED/EINTR -> 995, EAGAIN/EINPROGRESS -> 997, EFAULT -> 998,
//   ENOBUFS -> 1450, EIO/ENXIO/ENODEV/ENOTCONN/ESHUTDOWN -> 1167 (the device is gone);
//   anything else -> errGenFailure (31).
uint32_t ErrorFromErrno(int err) noexcept;

// Sets the last error from an errno value and returns the number set, for the common
// "a system call failed" path: `return SetLastErrorFromErrno(errno), false;`.
uint32_t SetLastErrorFromErrno(int err) noexcept;

} // namespace Platform
