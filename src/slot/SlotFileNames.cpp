#include "slot/SlotFileNames.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace {
void ReplaceAll(std::string& ioText, const std::string& iWhat, const std::string& iWith) {
  for (size_t pos = ioText.find(iWhat); pos != std::string::npos; pos = ioText.find(iWhat, pos + iWith.size()))
    ioText.replace(pos, iWhat.size(), iWith);
}

std::string TimeStamp(int y, int m, int d, int h, int n, int s) {
  return fmt::format("{:04d}-{:02d}-{:02d}-{:02d}-{:02d}-{:02d}", y, m, d, h, n, s);
}

std::string BaseName(const std::string& iPath) {
  const size_t slash = iPath.find_last_of('/');
  return slash == std::string::npos ? iPath : iPath.substr(slash + 1);
}
}  // namespace

std::string FileExtensionForFormat(TBassStreamingFormat iFormat, const std::string& iFileExtension) {
  switch (iFormat) {
    case sfMP3: return ".mp3";
    case sfMP2: return ".mp2";
    case sfOggVorbis: return ".ogg";
    case sfWAV16:
    case sfWAV32: return ".wav";
    case sfCustomWAV:
    case sfCustomRaw: return "." + iFileExtension;
    case sfNone: break;
  }
  return "";
}

std::string BuildRelativeFileName(const TSlotFileNaming& iNaming, TDateTime iTime) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(iTime, y, m, d, h, n, s, ms);
  const std::string ext = FileExtensionForFormat(iNaming.fFormat, iNaming.fFileExtension);
  if (!iNaming.fCustomFilename.empty()) {
    // Placeholders are replaced in this order; the case tells %M (month) from %m (minute).
    std::string name = iNaming.fCustomFilename + ext;
    ReplaceAll(name, "%Y", fmt::format("{:04d}", y));
    ReplaceAll(name, "%y", fmt::format("{:02d}", y % 100));
    ReplaceAll(name, "%M", fmt::format("{:02d}", m));
    ReplaceAll(name, "%D", fmt::format("{:02d}", d));
    ReplaceAll(name, "%h", fmt::format("{:02d}", h));
    ReplaceAll(name, "%m", fmt::format("{:02d}", n));
    ReplaceAll(name, "%s", fmt::format("{:02d}", s));
    return name;
  }
  const std::string stamp = TimeStamp(y, m, d, h, n, s);
  if (iNaming.fFlatFilenames) return iNaming.fFilenamePrefix + stamp + ext;
  return fmt::format("{:04d}/{:02d}/{:02d}/", y, m, d) + iNaming.fFilenamePrefix + stamp + ext;
}

std::string BuildFullFileName(const std::string& iFolder, const std::string& iRelativeName) {
  if (iFolder.empty() || iFolder.back() == '/') return iFolder + iRelativeName;
  return iFolder + "/" + iRelativeName;
}

std::string UniqueRelativeFileName(const std::string& iRelativeName,
                                   const std::function<bool(const std::string&)>& iTaken) {
  if (!iTaken(iRelativeName)) return iRelativeName;
  const size_t slash = iRelativeName.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = iRelativeName.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) dot = iRelativeName.size();
  const std::string stem = iRelativeName.substr(0, dot);
  const std::string ext = iRelativeName.substr(dot);
  for (int n = 2;; ++n) {
    std::string candidate = fmt::format("{}_{}{}", stem, n, ext);
    if (!iTaken(candidate)) return candidate;
  }
}

std::string CueSheetFileLine(const std::string& iFullName) {
  const std::string name = BaseName(iFullName);
  const size_t dot = name.find_last_of('.');
  std::string type = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::toupper(c); });
  if (type == "WAV") type = "WAVE";
  return fmt::format("FILE \"{}\" {}", name, type);
}
