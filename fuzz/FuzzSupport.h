// FuzzSupport: what the fuzz targets share - a private scratch folder for the readers that take
// a file name, and checks of properties that abort (libFuzzer then saves the input).
//
// The folder is made once per process under $TMPDIR (else /dev/shm, else /tmp), so that
// targets run in parallel never share files; it and everything in it are removed when the
// process exits normally. A target rewrites its one input file per run instead of making new
// ones, so a long run leaves nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Fuzz {

// The scratch folder's path (made on first use).
const std::string& ScratchFolder();

// A file in the scratch folder named `name` holding exactly `content`.
std::string WriteScratchFile(const std::string& name, std::string_view content);

// Prints the failed property and the value involved, then aborts.
[[noreturn]] void Fail(const char* what, std::string_view value);

inline void Check(bool condition, const char* what, std::string_view value = {}) {
  if (!condition)
    Fail(what, value);
}

// Whether text holds a byte below 0x20 other than tab, or DEL.
bool HasControl(std::string_view text);

} // namespace Fuzz
