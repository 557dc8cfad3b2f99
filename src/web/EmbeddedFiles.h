#pragma once
// The web client built into the executable: a table of URL paths and the
// bytes of each file, made at build time from web/node_modules and
// src/web/files (see src/web/CMakeLists.txt). It never changes at run time.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct TEmbeddedFile {
  std::string_view UrlPath;  // as listed in WebFileList
  std::string_view Data;
};

// The file for a URL path, compared without regard to letter case; nullptr if none.
const TEmbeddedFile* FindEmbeddedFile(std::string_view iUrlPath);
// Every built-in file, in the order of WebFileList.
const std::vector<TEmbeddedFile>& EmbeddedFiles();
