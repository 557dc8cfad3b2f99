#pragma once
// A temporary folder for one test, removed with everything in it.
#include <cstdlib>
#include <filesystem>
#include <string>

class TTempFolder {
public:
  TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-support-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    fPath = pattern;
  }
  ~TTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  std::string File(const std::string& iName) const { return (fPath / iName).string(); }
  const std::filesystem::path& Path() const { return fPath; }

private:
  std::filesystem::path fPath;
};
