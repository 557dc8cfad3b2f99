#include "web/RequestFraming.h"

#include <algorithm>
#include <cstring>

#include "web/HexDigit.h"

namespace {
constexpr size_t kMaxChunkSizeLine = 1024;
constexpr size_t kMaxMethodLength = 32;

bool IsTokenChar(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool EqualsNoCase(const std::string& iText, const char* iWord) {
  const size_t n = std::strlen(iWord);
  if (iText.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = iText[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != iWord[i]) return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

TRequestFraming::TRequestFraming(size_t iMaxHeaderBytes, size_t iMaxBodyBytes)
    : fMaxHeaderBytes(iMaxHeaderBytes), fMaxBodyBytes(iMaxBodyBytes) {}

TRequestFraming::TState TRequestFraming::Fail(int iStatus) {
  fFailureStatus = iStatus;
  fState = rfFailed;
  fOut.clear();
  return fState;
}

TRequestFraming::TState TRequestFraming::Feed(const char* iData, size_t iSize) {
  if (fState == rfHeaders) {
    size_t used = 0;
    FeedHeaders(iData, iSize, used);
    iData += used;
    iSize -= used;
  }
  if (fState == rfBody && iSize > 0) FeedBody(iData, iSize);
  return fState;
}

TRequestFraming::TState TRequestFraming::FeedHeaders(const char* iData, size_t iSize, size_t& oUsed) {
  oUsed = 0;
  while (oUsed < iSize && fState == rfHeaders) {
    const char* start = iData + oUsed;
    const void* nl = std::memchr(start, '\n', iSize - oUsed);
    const size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) + 1 : iSize - oUsed;
    if (fHeaderBytes + take > fMaxHeaderBytes) return Fail(431);
    fHeaderBytes += take;
    fLine.append(start, take);
    oUsed += take;
    if (!nl) break;
    std::string line;
    line.swap(fLine);
    if (!fRequestLineSeen) {
      fRequestLineSeen = true;
      // METHOD SP target SP HTTP/1.x CRLF, as the library reads it
      if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) return Fail(400);
      const std::string text = line.substr(0, line.size() - 2);
      const auto sp1 = text.find(' ');
      const auto sp2 = sp1 == std::string::npos ? sp1 : text.find(' ', sp1 + 1);
      if (sp1 == std::string::npos || sp2 == std::string::npos || text.find(' ', sp2 + 1) != std::string::npos)
        return Fail(400);
      fMethod = text.substr(0, sp1);
      if (fMethod.empty() || fMethod.size() > kMaxMethodLength) return Fail(400);
      for (char c : fMethod)
        if (!IsTokenChar(c)) return Fail(400);
      if (sp2 == sp1 + 1) return Fail(400);  // no target
      const std::string version = text.substr(sp2 + 1);
      if (version != "HTTP/1.1" && version != "HTTP/1.0") return Fail(400);
      fOut += line;
      continue;
    }
    if (line == "\r\n") return HeadersDone();
    if (!HeaderLine(line)) return fState;
  }
  return fState;
}

bool TRequestFraming::HeaderLine(const std::string& iLine) {
  // The library skips lines that do not end in CRLF; so does this, keeping them.
  if (iLine.size() < 2 || iLine.compare(iLine.size() - 2, 2, "\r\n") != 0) {
    fOut += iLine;
    return true;
  }
  const auto colon = iLine.find(':');
  if (colon == std::string::npos) {
    fOut += iLine;
    return true;
  }
  const std::string name = iLine.substr(0, colon);
  size_t a = colon + 1, b = iLine.size() - 2;
  while (a < b && IsBlank(iLine[a])) ++a;
  while (b > a && IsBlank(iLine[b - 1])) --b;
  const std::string value = iLine.substr(a, b - a);

  if (EqualsNoCase(name, "range")) {
    if (!fRange) fRange = value;  // the first one counts
    return true;
  }
  if (EqualsNoCase(name, "expect")) {
    if (EqualsNoCase(value, "100-continue")) fExpectContinue = true;
    return true;
  }
  if (EqualsNoCase(name, "content-length")) {
    ++fContentLengthCount;
    if (value.empty() || value.size() > 19) {
      Fail(400);
      return false;
    }
    uint64_t length = 0;
    for (char c : value) {
      if (c < '0' || c > '9') {
        Fail(400);
        return false;
      }
      length = length * 10 + static_cast<uint64_t>(c - '0');
    }
    fContentLength = length;
  } else if (EqualsNoCase(name, "transfer-encoding")) {
    if (fTransferEncoding) {
      Fail(501);  // several codings
      return false;
    }
    fTransferEncoding = value;
  }
  fOut += iLine;
  return true;
}

TRequestFraming::TState TRequestFraming::HeadersDone() {
  fOut += "\r\n";
  // A request that declares its body twice is refused: which of the two
  // counts is how requests are smuggled past other servers on the way.
  if (fContentLengthCount > 1 || (fTransferEncoding && fContentLength)) return Fail(400);
  if (fTransferEncoding) {
    if (!EqualsNoCase(*fTransferEncoding, "chunked")) return Fail(501);
    fBodyMode = bmChunkSize;
    fBodyBound = fMaxBodyBytes;
  } else {
    fBodyMode = bmLength;
    fRemaining = fContentLength.value_or(0);
    if (fRemaining > fMaxBodyBytes) return Fail(413);
    fBodyBound = fRemaining;
    if (fRemaining == 0) {
      fState = rfComplete;
      return fState;
    }
  }
  fWantsContinue = fExpectContinue;
  fState = rfBody;
  return fState;
}

bool TRequestFraming::ChunkSizeLine() {
  // hex digits, then optionally ";" and extensions, then CRLF
  if (fLine.size() < 3 || fLine.compare(fLine.size() - 2, 2, "\r\n") != 0) return false;
  uint64_t size = 0;
  size_t i = 0;
  for (; i < fLine.size() - 2 && HexDigitValue(fLine[i]) >= 0; ++i) {
    if (i == 15) return false;  // more than fits any cap
    size = size * 16 + static_cast<uint64_t>(HexDigitValue(fLine[i]));
  }
  if (i == 0 || (i < fLine.size() - 2 && fLine[i] != ';')) return false;
  if (size > fMaxBodyBytes - fDecodedBody) {
    Fail(413);
    return false;
  }
  fRemaining = size;
  fDecodedBody += size;
  fBodyMode = size == 0 ? bmLastChunkEnd : bmChunkData;
  return true;
}

TRequestFraming::TState TRequestFraming::FeedBody(const char* iData, size_t iSize) {
  size_t pos = 0;
  while (pos < iSize && fState == rfBody) {
    switch (fBodyMode) {
      case bmLength:
      case bmChunkData: {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(fRemaining, iSize - pos));
        fOut.append(iData + pos, n);
        pos += n;
        fRemaining -= n;
        if (fRemaining == 0) {
          if (fBodyMode == bmLength) {
            fState = rfComplete;
          } else {
            fBodyMode = bmChunkDataEnd;
          }
        }
        break;
      }
      case bmChunkSize:
      case bmChunkDataEnd:
      case bmLastChunkEnd: {
        const char c = iData[pos++];
        fOut += c;
        fLine += c;
        if (fLine.size() > kMaxChunkSizeLine) return Fail(400);
        if (c != '\n') break;
        if (fBodyMode == bmChunkSize) {
          if (!ChunkSizeLine()) return fState == rfFailed ? fState : Fail(400);
        } else {
          // the CRLF after chunk data; after the last chunk no trailers (the library takes none)
          if (fLine != "\r\n") return Fail(400);
          if (fBodyMode == bmLastChunkEnd) {
            fState = rfComplete;
          } else {
            fBodyMode = bmChunkSize;
          }
        }
        fLine.clear();
        break;
      }
    }
  }
  return fState;
}
