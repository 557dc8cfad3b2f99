#include "web/OverrideFolder.h"

#include <filesystem>
#include <system_error>

std::string ResolveOverrideFile(const std::string& iFolder, const std::string& iRequestPath) {
  namespace fs = std::filesystem;
  if (iFolder.empty() || iRequestPath.find("..") != std::string::npos ||
      iRequestPath.find('\0') != std::string::npos)
    return {};
  std::error_code ec;
  // Most requests are for files the folder does not hold (or there is no
  // folder): one look settles them before the links are resolved.
  if (!fs::exists(fs::path(iFolder + "/" + iRequestPath), ec)) return {};
  const fs::path root = fs::canonical(iFolder, ec);
  if (ec) return {};
  const fs::path candidate = fs::canonical(fs::path(iFolder + "/" + iRequestPath), ec);
  if (ec) return {};
  // a symbolic link inside the folder may point anywhere
  const auto rel = candidate.lexically_relative(root);
  if (rel.empty() || *rel.begin() == "..") return {};
  if (!fs::is_regular_file(candidate, ec)) return {};
  return candidate.string();
}
