// The per-thread last error and the one mapping from errno to the layer's numbers.
#include "platform/LastError.h"

namespace Platform {

namespace {
thread_local uint32_t tLastError = errSuccess;
} // namespace

uint32_t GetLastError() noexcept {
  return tLastError;
}

void SetLastError(uint32_t code) noexcept {
  tLastError = code;
}

uint32_t ErrorFromErrno(int err) noexcept {
  switch (err) {
  case 0:
    return errSuccess;
  case ENOENT:
    return errFileNotFound;
  case ENOTDIR:
  case ELOOP:
    return errPathNotFound;
  case EMFILE:
  case ENFILE:
    return errTooManyOpenFiles;
  case EACCES:
  case EPERM:
  case EBUSY: // an exclusively held serial device reads as "access denied" to our callers
  case EISDIR:
    return errAccessDenied;
  case EBADF:
    return errInvalidHandle;
  case ENOMEM:
    return errNotEnoughMemory;
  case ENOEXEC:
    return errBadExeFormat;
  case EXDEV:
    return errNotSameDevice;
  case EROFS:
    return errWriteProtect;
  case EEXIST:
    return errFileExists;
  case EINVAL:
  case ERANGE:
  case EDOM:
    return errInvalidParameter;
  case EPIPE:
    return errBrokenPipe;
  case ENOSPC:
  case EDQUOT:
    return errDiskFull;
  case ENOSYS:
    return errCallNotImplemented;
  case ENOTTY:
    return errInvalidFunction;
  case EOPNOTSUPP:
    return errNotSupported;
  case ETIMEDOUT:
  case ETIME:
    return errSemTimeout;
  case ENAMETOOLONG:
    return errFilenameExcedRange;
  case ENOTEMPTY:
    return errDirNotEmpty;
  case ECANCELED:
  case EINTR:
    return errOperationAborted;
  case EAGAIN: // EWOULDBLOCK has the same value on Linux
  case EINPROGRESS:
    return errIoPending;
  case EFAULT:
    return errNoAccess;
  case ENOBUFS:
    return errNoSystemResources;
  case EIO:
  case ENXIO:
  case ENODEV:
  case ENOTCONN:
  case ESHUTDOWN:
    // The device went away under us (unplugged adapter, closed pseudo-terminal peer).
    return errDeviceNotConnected;
  default:
    return errGenFailure;
  }
}

uint32_t SetLastErrorFromErrno(int err) noexcept {
  const uint32_t code = ErrorFromErrno(err);
  SetLastError(code);
  return code;
}

} // namespace Platform
