// IniFile: the INI profile store, one string at a time by file, section and key.
//
// Reading: section and key names match without regard to case (ASCII); blanks around names
// and values are dropped; lines starting with ';' or '#' are comments.  A missing file,
// section or key reads as the default, and reading never creates anything.  Values come
// back cut to ProfileValueLimit (2048) characters.  When a section or key occurs twice, the
// first occurrence counts.  Lines that make no sense (no '=', binary junk) are skipped; a
// header without its ']' starts a section that no name can reach, so its lines are not
// mistaken for the previous section's.
//
// Writing creates the file, section and key as needed and keeps every other byte of the
// file as it was (comments, blank lines, junk, line endings).  A write is atomic (temporary
// file, fsync, rename) and writers in any number of processes are serialised by an advisory
// lock on "<file>.lock" beside the file.  Values, keys and sections containing a line
// break or NUL, keys containing '=' or starting with '[', ';' or '#', and sections
// containing ']' cannot be stored faithfully and are refused with errInvalidParameter.
// Results are the error numbers of LastError.h (0 = success; the last error is set too);
// on failure the old file is left exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Platform {

inline constexpr std::size_t ProfileValueLimit = 2048;

std::string GetProfileString(const std::string& file, const std::string& section,
                             const std::string& key, const std::string& defaultValue);

// A file made anew gets newFileMode less the umask (0600 for one that keeps a secret); an
// existing file keeps its mode.
uint32_t WriteProfileString(const std::string& file, const std::string& section,
                            const std::string& key, const std::string& value,
                            unsigned newFileMode = 0666);

// The "no value" forms: a key without a value is deleted, a section without a key too.
uint32_t WriteProfileString(const std::string& file, const std::string& section,
                            const std::string& key, std::nullopt_t);
uint32_t WriteProfileString(const std::string& file, const std::string& section, std::nullopt_t);

// Removes every line of `key` in `section`; a missing file, section or key is success.
uint32_t DeleteProfileKey(const std::string& file, const std::string& section,
                          const std::string& key);

// Removes every occurrence of `section` with all its lines; missing is success.
uint32_t DeleteProfileSection(const std::string& file, const std::string& section);

// Section names in file order, each once (the spelling of its first occurrence).
std::vector<std::string> ReadSectionNames(const std::string& file);

// The keys and values of a section in file order, each key once, values not cut.
std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& file,
                                                             const std::string& section);

} // namespace Platform
