// Shared libraries through dlopen.  Handles are our own records, kept in one registry, so
// that a stale or foreign handle is refused instead of reaching dlsym/dlclose.
#include "platform/DynLib.h"

#include "platform/LastError.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace Platform {

struct TLibrary {
  void* Native;
  std::string Path;
};

namespace {

std::mutex gRegistryLock;
std::unordered_set<TLibrary*> gLoaded; // guarded by gRegistryLock

thread_local std::string tErrorText;

void Fail(uint32_t code, std::string text) {
  tErrorText = std::move(text);
  SetLastError(code);
}

std::string DlErrorText() {
  const char* text = ::dlerror();
  return text != nullptr ? text : "";
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ToLower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The program's own folder, from /proc/self/exe; "" when it cannot be read.
const std::string& ProgramFolder() {
  static const std::string folder = [] {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) {
      return std::string();
    }
    std::string path(buffer.data(), static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
  }();
  return folder;
}

std::string JoinPath(const std::string& folder, const std::string& file) {
  if (folder.empty() || folder.back() == '/') {
    return folder + file;
  }
  return folder + "/" + file;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string NativePath(void* native, const std::string& fallback) {
  link_map* map = nullptr;
  if (::dlinfo(native, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
      map->l_name[0] != '\0') {
    return map->l_name;
  }
  return fallback;
}

TLibraryHandle Register(void* native, const std::string& path) {
  auto* library = new TLibrary{native, NativePath(native, path)};
  std::lock_guard lock(gRegistryLock);
  gLoaded.insert(library);
  return library;
}

enum TTryResult { trLoaded, trAbsent, trRefused };

// Loads an explicit path: absent when there is no such file, refused when the loader says no.
TTryResult TryPath(const std::string& path, void*& native) {
  if (!FileExists(path)) {
    return trAbsent;
  }
  ::dlerror();
  native = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (native == nullptr) {
    Fail(errBadExeFormat, DlErrorText());
    return trRefused;
  }
  return trLoaded;
}

} // namespace

std::string LibraryFileName(const std::string& name) {
  if (name.find('/') != std::string::npos || EndsWith(name, ".so") ||
      name.find(".so.") != std::string::npos) {
    return name;
  }
  std::string file = ToLower(name);
  if (EndsWith(file, ".dll")) {
    file.resize(file.size() - 4);
  }
  if (file.rfind("lib", 0) != 0) {
    file = "lib" + file;
  }
  return file + ".so";
}

TLibraryHandle LoadLibrary(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos) {
    Fail(errInvalidParameter, "empty or malformed library name");
    return nullptr;
  }
  void* native = nullptr;

  if (name.find('/') != std::string::npos) {
    switch (TryPath(name, native)) {
    case trLoaded:
      return Register(native, name);
    case trRefused:
      return nullptr;
    case trAbsent:
      Fail(errFileNotFound, name + ": no such file");
      return nullptr;
    }
  }

  const std::string file = LibraryFileName(name);

  if (const char* list = std::getenv("RINGLET_LIBRARY_PATH"); list != nullptr) {
    const std::string folders(list);
    size_t start = 0;
    while (start <= folders.size()) {
      size_t end = folders.find(':', start);
      if (end == std::string::npos) {
        end = folders.size();
      }
      const std::string folder = folders.substr(start, end - start);
      start = end + 1;
      if (folder.empty()) {
        continue;
      }
      const std::string path = JoinPath(folder, file);
      switch (TryPath(path, native)) {
      case trLoaded:
        return Register(native, path);
      case trRefused:
        return nullptr;
      case trAbsent:
        break;
      }
    }
  }

  // The system's own search: LD_LIBRARY_PATH, the loader cache, the default folders.
  ::dlerror();
  native = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (native != nullptr) {
    return Register(native, file);
  }
  const std::string systemText = DlErrorText();

  if (const std::string& own = ProgramFolder(); !own.empty()) {
    for (const std::string& path : {JoinPath(own, file), JoinPath(own, "../lib/" + file)}) {
      switch (TryPath(path, native)) {
      case trLoaded:
        return Register(native, path);
      case trRefused:
        return nullptr;
      case trAbsent:
        break;
      }
    }
  }

  Fail(errFileNotFound, systemText.empty() ? file + ": not found" : systemText);
  return nullptr;
}

void* GetProcAddress(TLibraryHandle library, const std::string& symbol) {
  std::lock_guard lock(gRegistryLock); // keeps a concurrent FreeLibrary from closing it
  if (library == nullptr || gLoaded.count(library) == 0) {
    Fail(errInvalidHandle, "not a loaded library");
    return nullptr;
  }
  ::dlerror();
  void* address = ::dlsym(library->Native, symbol.c_str());
  if (address == nullptr) {
    std::string text = DlErrorText();
    Fail(errProcNotFound, text.empty() ? symbol + ": symbol has no address" : text);
  }
  return address;
}

bool FreeLibrary(TLibraryHandle library) {
  {
    std::lock_guard lock(gRegistryLock);
    if (library == nullptr || gLoaded.erase(library) == 0) {
      Fail(errInvalidHandle, "not a loaded library");
      return false;
    }
  }
  ::dlerror();
  const bool closed = ::dlclose(library->Native) == 0;
  if (!closed) {
    Fail(errInvalidHandle, DlErrorText());
  }
  delete library;
  return closed;
}

std::string LibraryPath(TLibraryHandle library) {
  std::lock_guard lock(gRegistryLock);
  if (library == nullptr || gLoaded.count(library) == 0) {
    return {};
  }
  return library->Path;
}

std::string LibraryErrorText() {
  return tErrorText;
}

} // namespace Platform
