#include "shell/IniFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kMaxValueCharacters = 2047;
constexpr const char* kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char iChar) { return iChar == ' ' || iChar == '\t' || iChar == '\r'; }

std::string Trim(const std::string& iText) {
  size_t first = 0, last = iText.size();
  while (first < last && IsBlank(iText[first])) ++first;
  while (last > first && IsBlank(iText[last - 1])) --last;
  return iText.substr(first, last - first);
}

// Names are compared without regard to ASCII case; other bytes (UTF-8) compare exactly.
std::string Folded(const std::string& iName) {
  std::string result = iName;
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

// Cuts after iMax characters; UTF-8 continuation bytes belong to the character
// before them, so a cut never splits a character.
std::string CutCharacters(const std::string& iText, size_t iMax) {
  size_t characters = 0;
  for (size_t i = 0; i < iText.size(); ++i) {
    if ((static_cast<unsigned char>(iText[i]) & 0xC0) != 0x80) {
      if (characters == iMax) return iText.substr(0, i);
      ++characters;
    }
  }
  return iText;
}

// A line break inside a value would end it early and turn the rest into lines of
// their own (even a forged section header), so breaks are written as blanks.
std::string SingleLine(const std::string& iText) {
  std::string result = iText;
  for (char& c : result)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return result;
}

bool ParseInteger(const std::string& iText, int& oValue) {
  size_t i = 0;
  bool negative = false;
  if (i < iText.size() && (iText[i] == '+' || iText[i] == '-')) {
    negative = iText[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < iText.size() && iText[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < iText.size() && iText[i] == '0' && (iText[i + 1] == 'x' || iText[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= iText.size()) return false;
  uint64_t value = 0;
  for (; i < iText.size(); ++i) {
    char c = iText[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  if (hex) {
    // hexadecimal gives the 32-bit pattern: $FFFFFFFF is -1
    auto bits = static_cast<int32_t>(static_cast<uint32_t>(value));
    if (negative && bits == INT32_MIN) return false;
    oValue = negative ? -bits : bits;
    return true;
  }
  int64_t signedValue = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  if (signedValue < INT32_MIN || signedValue > INT32_MAX) return false;
  oValue = static_cast<int>(signedValue);
  return true;
}

struct TFileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  static TFileStamp Of(const struct stat& iStat) {
    TFileStamp s;
    s.exists = true;
    s.device = iStat.st_dev;
    s.inode = iStat.st_ino;
    s.size = iStat.st_size;
    s.modified = iStat.st_mtim;
    s.changed = iStat.st_ctim;
    return s;
  }
  bool operator==(const TFileStamp& o) const {
    if (exists != o.exists) return false;
    if (!exists) return true;
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

struct TLine {
  std::string text;   // the line as it stands in the file, without its line break
  std::string key;    // folded key name; empty when the line holds no key
  std::string value;  // trimmed value of a key line
};

struct TSection {
  bool hasHeader = true;  // false only for the lines before the first section
  std::vector<TLine> lines;  // lines[0] is the header when hasHeader
  std::unordered_map<std::string, size_t> keys;  // folded key -> first line holding it

  void IndexKeys() {
    keys.clear();
    for (size_t i = 0; i < lines.size(); ++i)
      if (!lines[i].key.empty()) keys.emplace(lines[i].key, i);
  }
  size_t InsertPosition() const {
    size_t pos = hasHeader ? 1 : 0;
    for (size_t i = 0; i < lines.size(); ++i)
      if (!lines[i].key.empty()) pos = i + 1;
    return pos;
  }
};

class TModel {
public:
  void Clear() {
    fSections.clear();
    fIndex.clear();
    fBom = false;
    fCrLf = false;
  }

  void Parse(const std::string& iContent) {
    Clear();
    size_t pos = 0;
    if (iContent.compare(0, 3, kUtf8Bom) == 0) {
      fBom = true;
      pos = 3;
    }
    fSections.push_back(TSection{false, {}, {}});
    bool first = true;
    while (pos < iContent.size()) {
      size_t end = iContent.find('\n', pos);
      std::string line = iContent.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      pos = end == std::string::npos ? iContent.size() : end + 1;
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
        if (first) fCrLf = true;
      }
      first = false;
      AddParsedLine(std::move(line));
    }
    for (size_t i = 0; i < fSections.size(); ++i) {
      fSections[i].IndexKeys();
      if (fSections[i].hasHeader) fIndex.emplace(HeaderName(fSections[i]), i);
    }
  }

  std::string Serialize() const {
    std::string eol = fCrLf ? "\r\n" : "\n";
    std::string out = fBom ? kUtf8Bom : "";
    for (const auto& section : fSections)
      for (const auto& line : section.lines) {
        out += line.text;
        out += eol;
      }
    return out;
  }

  const TLine* Find(const std::string& iSection, const std::string& iKey) const {
    const TSection* section = FindSection(iSection);
    if (!section) return nullptr;
    auto it = section->keys.find(Folded(iKey));
    return it == section->keys.end() ? nullptr : &section->lines[it->second];
  }

  const TSection* FindSection(const std::string& iSection) const {
    auto it = fIndex.find(Folded(iSection));
    return it == fIndex.end() ? nullptr : &fSections[it->second];
  }

  void Set(const std::string& iSection, const std::string& iKey, const std::string& iValue) {
    TSection& section = SectionFor(iSection);
    std::string folded = Folded(iKey);
    TLine line{iKey + "=" + iValue, folded, Trim(iValue)};
    auto it = section.keys.find(folded);
    if (it != section.keys.end()) {
      section.lines[it->second] = std::move(line);
      return;
    }
    // Only blank lines and comments follow the last key, so no indexed line moves.
    size_t pos = section.InsertPosition();
    section.lines.insert(section.lines.begin() + static_cast<std::ptrdiff_t>(pos), std::move(line));
    section.keys.emplace(folded, pos);
  }

  // Removes every line of the key (a hand-edited duplicate would otherwise come back).
  bool Delete(const std::string& iSection, const std::string& iKey) {
    auto it = fIndex.find(Folded(iSection));
    if (it == fIndex.end()) return false;
    TSection& section = fSections[it->second];
    std::string folded = Folded(iKey);
    if (section.keys.find(folded) == section.keys.end()) return false;
    std::erase_if(section.lines, [&](const TLine& l) { return l.key == folded; });
    section.IndexKeys();
    return true;
  }

private:
  static std::string HeaderName(const TSection& iSection) {
    const std::string text = Trim(iSection.lines[0].text);
    size_t close = text.find(']');
    return Folded(Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
  }

  void AddParsedLine(std::string iLine) {
    std::string trimmed = Trim(iLine);
    if (!trimmed.empty() && trimmed[0] == '[') {
      fSections.push_back(TSection{true, {}, {}});
      fSections.back().lines.push_back(TLine{std::move(iLine), {}, {}});
      return;
    }
    TLine line{std::move(iLine), {}, {}};
    bool comment = !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#');
    size_t eq = trimmed.find('=');
    if (!comment && eq != std::string::npos && fSections.back().hasHeader) {
      std::string key = Trim(trimmed.substr(0, eq));
      if (!key.empty()) {
        line.key = Folded(key);
        line.value = Trim(trimmed.substr(eq + 1));
      }
    }
    fSections.back().lines.push_back(std::move(line));
  }

  TSection& SectionFor(const std::string& iSection) {
    std::string folded = Folded(iSection);
    auto it = fIndex.find(folded);
    if (it != fIndex.end()) return fSections[it->second];
    if (fSections.empty()) fSections.push_back(TSection{false, {}, {}});
    // keep a blank line between sections for the human reader
    const TSection& last = fSections.back();
    if (!last.lines.empty() && !Trim(last.lines.back().text).empty())
      fSections.back().lines.push_back(TLine{});
    fSections.push_back(TSection{true, {TLine{"[" + iSection + "]", {}, {}}}, {}});
    fIndex.emplace(folded, fSections.size() - 1);
    return fSections.back();
  }

  std::vector<TSection> fSections;  // fSections[0]: lines before the first header
  std::unordered_map<std::string, size_t> fIndex;  // folded name -> first section of that name
  bool fBom = false;
  bool fCrLf = false;
};

class TFileDescriptor {
public:
  explicit TFileDescriptor(int iFd) : fFd(iFd) {}
  ~TFileDescriptor() {
    if (fFd >= 0) ::close(fFd);
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  int Get() const { return fFd; }
  int Release() {
    int fd = fFd;
    fFd = -1;
    return fd;
  }

private:
  int fFd;
};

std::atomic<unsigned> gTempCounter{0};

std::string DirectoryOf(const std::string& iPath) {
  size_t slash = iPath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : iPath.substr(0, slash);
}

std::string BaseNameOf(const std::string& iPath) {
  size_t slash = iPath.rfind('/');
  return slash == std::string::npos ? iPath : iPath.substr(slash + 1);
}

bool WriteAll(int iFd, const std::string& iContent) {
  const char* p = iContent.data();
  size_t left = iContent.size();
  while (left > 0) {
    ssize_t n = ::write(iFd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

struct TIniFile::TImpl {
  std::string fFileName;
  mutable std::mutex fLock;
  mutable TModel fModel;          // guarded by fLock
  mutable TFileStamp fStamp;      // of the file the model was read from
  mutable bool fLoaded = false;
  // The file exists but could not be read: rewriting it from an empty model would
  // throw its content away, so writes are refused until it can be read again.
  mutable bool fUnreadable = false;
  bool fSweptTempFiles = false;
  bool fDirty = false;            // the model holds writes that are not in the file yet
  int fUpdateDepth = 0;

  // Rereads the file when it changed on disk since it was last read or written, so
  // edits by hand are seen. Pending batched writes are never thrown away.
  void Refresh() const {
    if (fDirty) return;
    struct stat st;
    TFileStamp now;
    if (::stat(fFileName.c_str(), &st) == 0) now = TFileStamp::Of(st);
    if (fLoaded && now == fStamp) return;
    Load();
  }

  void Load() const {
    fModel.Clear();
    fStamp = TFileStamp{};
    fLoaded = true;
    fUnreadable = false;
    // non-blocking: a FIFO or device in the file's place must not hang the reader
    TFileDescriptor fd(::open(fFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0) {
      fUnreadable = errno != ENOENT && errno != ENOTDIR;
      return;
    }
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      fUnreadable = true;
      return;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(fd.Get(), buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        fUnreadable = true;
        return;
      }
      if (n == 0) break;
      content.append(buffer, static_cast<size_t>(n));
    }
    fModel.Parse(content);
    fStamp = TFileStamp::Of(st);
  }

  [[noreturn]] void Fail() {
    // The file keeps its last good content; the next access reads it again, so a
    // write that did not reach the file is not reported back by later reads.
    fDirty = false;
    fLoaded = false;
    fModel.Clear();
    throw std::runtime_error(fmt::format("Unable to write to {}", fFileName));
  }

  // Writes the whole file beside the old one and renames it over, so that no
  // reader ever sees a half-written or empty file, even after a crash.
  void Save() {
    if (fUnreadable) Fail();
    if (!fSweptTempFiles) {
      fSweptTempFiles = true;
      RemoveTempFilesOfDeadProcesses();
    }
    std::string target = fFileName;
    struct stat st;
    if (::lstat(fFileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      // replace the file the link points at, not the link
      if (char* real = ::realpath(fFileName.c_str(), nullptr)) {
        target = real;
        std::free(real);
      }
    }
    bool existed = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);

    std::string temp = fmt::format("{}/.{}.{}.{}.tmp", DirectoryOf(target), BaseNameOf(target),
                                   ::getpid(), gTempCounter.fetch_add(1));
    TFileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.Get() < 0) Fail();
    bool ok = WriteAll(fd.Get(), fModel.Serialize());
    if (ok && existed) {
      ok = ::fchmod(fd.Get(), st.st_mode & 07777) == 0;
      if (ok && ::geteuid() == 0) (void)!::fchown(fd.Get(), st.st_uid, st.st_gid);
    }
    ok = ok && ::fsync(fd.Get()) == 0;
    ok = ::close(fd.Release()) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
      ::unlink(temp.c_str());
      Fail();
    }
    fDirty = false;
    fStamp = TFileStamp{};
    if (::stat(fFileName.c_str(), &st) == 0) fStamp = TFileStamp::Of(st);
    fLoaded = true;
  }

  // A process killed between creating its temporary file and renaming it leaves
  // ".<name>.<pid>.<n>.tmp" behind; those of processes that no longer run go.
  void RemoveTempFilesOfDeadProcesses() const {
    const std::string prefix = "." + BaseNameOf(fFileName) + ".";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(DirectoryOf(fFileName), ec)) {
      std::string name = entry.path().filename().string();
      if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
          name.compare(name.size() - 4, 4, ".tmp") != 0)
        continue;
      char* end = nullptr;
      long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
      if (pid <= 0 || *end != '.') continue;
      if (pid > INT_MAX || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
        std::error_code ignored;
        std::filesystem::remove(entry.path(), ignored);
      }
    }
  }

  void Changed() {
    if (fUpdateDepth > 0)
      fDirty = true;
    else
      Save();
  }

  std::string Value(const std::string& iSection, const std::string& iKey, bool& oFound) const {
    Refresh();
    const TLine* line = fModel.Find(iSection, iKey);
    oFound = line != nullptr;
    return line ? CutCharacters(line->value, kMaxValueCharacters) : std::string();
  }
};

TIniFile::TIniFile(std::string iFileName) : fImpl(std::make_unique<TImpl>()) {
  fImpl->fFileName = std::move(iFileName);
}

TIniFile::~TIniFile() = default;

const std::string& TIniFile::FileName() const { return fImpl->fFileName; }

std::string TIniFile::ReadString(const std::string& iSection, const std::string& iKey,
                                 const std::string& iDefault) const {
  std::lock_guard lock(fImpl->fLock);
  bool found;
  std::string value = fImpl->Value(iSection, iKey, found);
  return found ? value : iDefault;
}

int TIniFile::ReadInteger(const std::string& iSection, const std::string& iKey, int iDefault) const {
  std::lock_guard lock(fImpl->fLock);
  bool found;
  std::string value = fImpl->Value(iSection, iKey, found);
  int result;
  return found && ParseInteger(value, result) ? result : iDefault;
}

bool TIniFile::ReadBool(const std::string& iSection, const std::string& iKey, bool iDefault) const {
  return ReadInteger(iSection, iKey, iDefault ? 1 : 0) != 0;
}

bool TIniFile::ReadSwitch(const std::string& iSection, const std::string& iKey, bool iDefault) const {
  std::lock_guard lock(fImpl->fLock);
  bool found;
  std::string value = fImpl->Value(iSection, iKey, found);
  return found ? value == "on" : iDefault;
}

bool TIniFile::SectionExists(const std::string& iSection) const {
  std::lock_guard lock(fImpl->fLock);
  fImpl->Refresh();
  const auto* section = fImpl->fModel.FindSection(iSection);
  return section && !section->keys.empty();
}

void TIniFile::WriteString(const std::string& iSection, const std::string& iKey,
                           const std::string& iValue) {
  std::lock_guard lock(fImpl->fLock);
  fImpl->Refresh();
  fImpl->fModel.Set(SingleLine(iSection), SingleLine(iKey), SingleLine(iValue));
  fImpl->Changed();
}

void TIniFile::WriteInteger(const std::string& iSection, const std::string& iKey, int iValue) {
  WriteString(iSection, iKey, fmt::format("{}", iValue));
}

void TIniFile::WriteBool(const std::string& iSection, const std::string& iKey, bool iValue) {
  WriteString(iSection, iKey, iValue ? "1" : "0");
}

void TIniFile::WriteSwitch(const std::string& iSection, const std::string& iKey, bool iValue) {
  WriteString(iSection, iKey, iValue ? "on" : "off");
}

void TIniFile::DeleteKey(const std::string& iSection, const std::string& iKey) {
  std::lock_guard lock(fImpl->fLock);
  fImpl->Refresh();
  if (fImpl->fModel.Delete(iSection, iKey)) fImpl->Changed();
}

void TIniFile::UpdateFile() {
  std::lock_guard lock(fImpl->fLock);
  if (fImpl->fDirty) fImpl->Save();
}

void TIniFile::BeginUpdate() {
  std::lock_guard lock(fImpl->fLock);
  ++fImpl->fUpdateDepth;
}

void TIniFile::EndUpdate() {
  std::lock_guard lock(fImpl->fLock);
  if (fImpl->fUpdateDepth == 0) return;  // unbalanced call: nothing to end
  if (--fImpl->fUpdateDepth == 0 && fImpl->fDirty) fImpl->Save();
}
