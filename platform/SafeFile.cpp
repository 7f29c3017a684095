#include "platform/SafeFile.h"

#include "platform/LastError.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

// Closes a descriptor on every path out of a function.
class TFdGuard {
public:
  explicit TFdGuard(int fd) : FFd(fd) {}
  ~TFdGuard() {
    if (FFd >= 0)
      ::close(FFd);
  }
  TFdGuard(const TFdGuard&) = delete;
  TFdGuard& operator=(const TFdGuard&) = delete;
  int Fd() const { return FFd; }
  int Release() {
    int fd = FFd;
    FFd = -1;
    return fd;
  }

private:
  int FFd;
};

uint32_t Fail(int err) {
  uint32_t code = ErrorFromErrno(err);
  SetLastError(code);
  return code;
}

// A missing folder on the way to a file we mean to create is "path not found".
uint32_t FailCreating(int err) {
  return err == ENOENT ? (SetLastError(errPathNotFound), errPathNotFound) : Fail(err);
}

bool WriteAll(int fd, const std::string& data, int& err) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      err = errno;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

uint32_t TFileLock::Acquire(const std::string& lockPath, TFileLockMode mode) {
  Release();
  int fd;
  if (mode == flmExclusive) {
    fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // flock() needs no write access: an existing lock file on a read-only folder still
    // serialises, and the real failure is then reported where the data would be written.
    if (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM))
      fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return FailCreating(errno);
  } else {
    fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return errno == ENOENT ? errSuccess : Fail(errno);
  }
  TFdGuard guard(fd);
  int op = mode == flmExclusive ? LOCK_EX : LOCK_SH;
  while (::flock(fd, op) != 0) {
    if (errno != EINTR)
      return Fail(errno);
  }
  FHandle = guard.Release();
  return errSuccess;
}

void TFileLock::Release() noexcept {
  if (FHandle >= 0) {
    ::close(FHandle); // closing drops the flock
    FHandle = -1;
  }
}

std::string LockFileFor(const std::string& path) {
  return path + ".lock";
}

uint32_t ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOENT ? errFileNotFound : Fail(errno);
  TFdGuard guard(fd);
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      content.clear();
      return Fail(errno);
    }
    if (n == 0)
      break;
    content.append(buffer, static_cast<size_t>(n));
  }
  return errSuccess;
}

uint32_t ReplaceFileContents(const std::string& path, const std::string& content,
                             unsigned newFileMode) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(path);
  struct stat old {};
  const bool existed = ::stat(path.c_str(), &old) == 0;

  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = folder + "/." + BaseNameOf(path) + ".tmp" + std::to_string(::getpid()) + "." +
           std::to_string(counter.fetch_add(1));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                existed ? 0600 : static_cast<mode_t>(newFileMode));
    if (fd < 0 && errno != EEXIST)
      return FailCreating(errno);
  }
  if (fd < 0)
    return Fail(EEXIST);
  TFdGuard guard(fd);

  int err = 0;
  bool ok = WriteAll(fd, content, err);
  if (ok && existed) {
    // Owner first: chown clears set-id bits, the chmod after it restores them.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Not ours to give away; the permission bits still carry over.
    }
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
      err = errno;
      ok = false;
    }
  }
  if (ok && ::fsync(fd) != 0) {
    err = errno;
    ok = false;
  }
  if (ok && ::close(guard.Release()) != 0) {
    err = errno;
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return Fail(err);
  }
  // Make the rename itself durable; the data is in place already, so a folder that refuses
  // fsync (some file systems do) is not a failed write.
  int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return errSuccess;
}

uint32_t MakeDirectories(const std::string& path, unsigned mode) {
  if (path.empty())
    return errSuccess;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode) ? errSuccess : Fail(ENOTDIR);
  size_t slash = path.find_last_not_of('/');
  slash = slash == std::string::npos ? std::string::npos : path.rfind('/', slash);
  if (slash != std::string::npos && slash > 0) {
    uint32_t code = MakeDirectories(path.substr(0, slash), mode);
    if (code != errSuccess)
      return code;
  }
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
    return Fail(errno);
  return errSuccess;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

std::string ResolveLinks(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
      return current;
    char target[PATH_MAX];
    ssize_t n = ::readlink(current.c_str(), target, sizeof target - 1);
    if (n <= 0)
      return current;
    std::string next(target, static_cast<size_t>(n));
    current = next[0] == '/' ? next : FolderOf(current) + "/" + next;
  }
  return path; // a loop: let the open report it
}

} // namespace Platform
