#include "web/EmbeddedFiles.h"

#include <algorithm>
#include <cctype>
#include <unordered_map>

// Provided by the table generated at build time (WebFilesTable.cpp in the build folder).
std::vector<TEmbeddedFile> GeneratedWebFiles();

namespace {
std::string Lower(std::string_view iText) {
  std::string result(iText);
  std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::tolower(c); });
  return result;
}

struct TIndex {
  std::vector<TEmbeddedFile> Files;
  std::unordered_map<std::string, size_t> ByLowerPath;
  TIndex() {
    Files = GeneratedWebFiles();
    for (size_t i = 0; i < Files.size(); ++i) ByLowerPath.emplace(Lower(Files[i].UrlPath), i);
  }
};

// Built on first use; function-local statics are initialised once, thread-safely.
const TIndex& Index() {
  static const TIndex index;
  return index;
}
}  // namespace

const TEmbeddedFile* FindEmbeddedFile(std::string_view iUrlPath) {
  const TIndex& index = Index();
  const auto it = index.ByLowerPath.find(Lower(iUrlPath));
  return it == index.ByLowerPath.end() ? nullptr : &index.Files[it->second];
}

const std::vector<TEmbeddedFile>& EmbeddedFiles() { return Index().Files; }
