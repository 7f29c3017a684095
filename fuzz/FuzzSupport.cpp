// FuzzSupport: the scratch folder and the property checks of the fuzz targets.
#include "fuzz/FuzzSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace Fuzz {

namespace {

std::string BaseFolder() {
  if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp)
    return tmp;
  // A memory file system keeps the per-run writes and fsyncs cheap.
  if (::access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  return "/tmp";
}

void RemoveScratchFolder() {
  const std::string& folder = ScratchFolder();
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        ::unlink((folder + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(folder.c_str());
}

void WriteAll(int fd, std::string_view content, const std::string& path) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      Fail("cannot write the scratch file", path);
    content.remove_prefix(static_cast<size_t>(n));
  }
}

} // namespace

const std::string& ScratchFolder() {
  static const std::string folder = [] {
    std::string pattern = BaseFolder() + "/ringlet-fuzz.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      Fail("cannot make the scratch folder", pattern);
    return pattern;
  }();
  static const bool cleanup = std::atexit(RemoveScratchFolder) == 0;
  Check(cleanup, "cannot arrange the scratch folder's removal");
  return folder;
}

std::string WriteScratchFile(const std::string& name, std::string_view content) {
  const std::string path = ScratchFolder() + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0)
    Fail("cannot open the scratch file", path);
  WriteAll(fd, content, path);
  if (::close(fd) != 0)
    Fail("cannot close the scratch file", path);
  return path;
}

void Fail(const char* what, std::string_view value) {
  std::fprintf(stderr, "\nPROPERTY FAILED: %s\n  value (%zu bytes): \"", what, value.size());
  for (unsigned char c : value) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
      std::fputc(c, stderr);
    else
      std::fprintf(stderr, "\\x%02X", c);
  }
  std::fprintf(stderr, "\"\n");
  std::abort();
}

bool HasControl(std::string_view text) {
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\t') || c == 0x7F)
      return true;
  return false;
}

} // namespace Fuzz
