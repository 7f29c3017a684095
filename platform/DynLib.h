// DynLib: loading shared libraries by name, looking up their symbols, unloading them.
//
// A bare name such as "TAPI32" (or "TAPI32.DLL") becomes the file "libtapi32.so": lower
// case, "lib" in front unless already there, ".so" at the end.  A name with a slash is a path
// and is used as is; a name ending in ".so" or holding ".so." is a file name used as is.
// A file name is looked for, in this order, in each folder of $RINGLET_LIBRARY_PATH (colon
// separated; lets tests and the demo put a stand-in first), through the system's library
// search, in the program's own folder and in ../lib beside it.  The first file found is the
// one loaded: if it cannot be loaded the search ends there.
// Failures return null / false and set the last error: errFileNotFound (no such library),
// errBadExeFormat (found, but the loader refused it), errProcNotFound (no such symbol),
// errInvalidHandle (a handle that is not, or no longer, loaded), errInvalidParameter (empty
// name).  The loader's own words for the last failure of the calling thread stay available
// from LibraryErrorText().  All functions may be called from any thread.
#pragma once

#include <string>

namespace Platform {

struct TLibrary;
using TLibraryHandle = TLibrary*;

TLibraryHandle LoadLibrary(const std::string& name);
void* GetProcAddress(TLibraryHandle library, const std::string& symbol);
bool FreeLibrary(TLibraryHandle library);

// The file name LoadLibrary() searches for a name ("TAPI32" -> "libtapi32.so").
std::string LibraryFileName(const std::string& name);
// The full path of a loaded library; "" for an unknown handle.
std::string LibraryPath(TLibraryHandle library);
// The loader's text for the calling thread's last failure here; "" when there was none.
std::string LibraryErrorText();

} // namespace Platform
