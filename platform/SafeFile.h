// SafeFile: locked, crash-safe replacement of small files, shared by the settings stores.
//
// A writer holds an exclusive flock() on a lock file beside the data file ("<file>.lock"),
// reads the whole file, edits it in memory and replaces it with ReplaceFileContents(): a
// temporary file in the same folder, fsync, rename over the old one, fsync of the folder.
// A reader either sees the old or the new contents, never a torn file; a failed write leaves
// the old file untouched.  Results are the error numbers of LastError.h (0 = success).
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

enum TFileLockMode { flmShared, flmExclusive };

// An advisory lock held on a lock file for as long as the object lives.  The lock belongs to
// the open file, so two threads of one process exclude each other as two processes do.
class TFileLock {
public:
  TFileLock() = default;
  ~TFileLock() { Release(); }
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  // Exclusive: creates the lock file when missing (a missing folder gives errPathNotFound).
  // Shared: a missing lock file means nobody has written yet; that succeeds unlocked, so that
  // reading never creates files.
  uint32_t Acquire(const std::string& lockPath, TFileLockMode mode);
  void Release() noexcept;
  bool Held() const noexcept { return FHandle >= 0; }

private:
  int FHandle = -1;
};

// The lock file that guards `path`.
std::string LockFileFor(const std::string& path);

// Reads the whole file; errFileNotFound (or errPathNotFound) when it does not exist.
uint32_t ReadWholeFile(const std::string& path, std::string& content);

// Atomically replaces (or creates) `path` with `content`.  An existing file keeps its
// permission bits and, where allowed, its owner; a new one gets `newFileMode` less the umask.
uint32_t ReplaceFileContents(const std::string& path, const std::string& content,
                             unsigned newFileMode);

// Creates `path` and its missing parents with `mode`; an existing folder is success.
uint32_t MakeDirectories(const std::string& path, unsigned mode);

// The folder part of `path` ("." for a bare name).
std::string FolderOf(const std::string& path);

// Follows symbolic links to the file they name, so a replacement updates the target instead
// of turning the link into a plain file.  A path that does not resolve is returned unchanged.
std::string ResolveLinks(const std::string& path);

} // namespace Platform
