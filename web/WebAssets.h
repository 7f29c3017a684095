// WebAssets: the files of the web page (web/assets/), built into the program so that the
// page needs nothing from elsewhere. WebAssets.cpp is generated from them at build time.
//
// Contract: FindWebAsset gives the asset served at Path ("/" is index.html), nullptr for a
// path that is none.
#pragma once

#include <cstddef>
#include <string>

struct TWebAsset {
  const char* Path;        // "/index.html", "/app.js", ...
  const char* ContentType; // with its charset for text
  const unsigned char* Data;
  size_t Size;
};

const TWebAsset* FindWebAsset(const std::string& Path);
