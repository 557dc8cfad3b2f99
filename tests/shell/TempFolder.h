#pragma once
// A fresh folder under the system's temporary folder, removed with its content.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

class TTempFolder {
public:
  TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-shell-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    fPath = pattern;
  }
  ~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(fPath, ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  const std::string& Path() const { return fPath; }
  std::string operator/(const std::string& iName) const { return fPath + "/" + iName; }

private:
  std::string fPath;
};

inline std::string ReadWholeFile(const std::string& iPath) {
  std::ifstream in(iPath, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& iPath, const std::string& iContent) {
  std::ofstream out(iPath, std::ios::binary | std::ios::trunc);
  out << iContent;
}
