#pragma once
// Finds where one HTTP request ends, as its bytes arrive: the header block,
// then a body by Content-Length or chunked, within the size limits. The
// server's front end reads every request whole with this before a thread
// works on it, so a client that sends slowly costs a socket, not a thread.
//
// It also takes out of the request the header lines that the server answers
// in its own way rather than the HTTP library's: Range (a header the library
// cannot parse would be refused with 416 before any access check) and Expect
// (the front end sends "100 Continue" itself, while the body is still to come).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class TRequestFraming {
public:
  enum TState { rfHeaders, rfBody, rfComplete, rfFailed };

  TRequestFraming(size_t iMaxHeaderBytes, size_t iMaxBodyBytes);

  // Takes the next bytes received. Bytes after the end of the request are
  // ignored (one request per connection).
  TState Feed(const char* iData, size_t iSize);
  TState State() const { return fState; }

  // rfFailed: the status to answer with (400, 413, 431 or 501).
  int FailureStatus() const { return fFailureStatus; }

  // Known once the header block is complete.
  const std::string& Method() const { return fMethod; }
  const std::optional<std::string>& Range() const { return fRange; }
  // The client waits for "100 Continue" before sending its body.
  bool WantsContinue() const { return fWantsContinue; }
  // The most body bytes to wait for: the length, or the cap when chunked.
  uint64_t BodyBound() const { return fBodyBound; }

  // rfComplete: the request as the library is to read it (request line,
  // header lines but Range and Expect, the body bytes as sent).
  std::string TakeRequest() { return std::move(fOut); }

private:
  enum TBodyMode { bmLength, bmChunkSize, bmChunkData, bmChunkDataEnd, bmLastChunkEnd };

  TState Fail(int iStatus);
  TState FeedHeaders(const char* iData, size_t iSize, size_t& oUsed);
  bool HeaderLine(const std::string& iLine);  // false: the request is refused
  TState HeadersDone();
  TState FeedBody(const char* iData, size_t iSize);
  bool ChunkSizeLine();

  const size_t fMaxHeaderBytes;
  const size_t fMaxBodyBytes;
  TState fState = rfHeaders;
  int fFailureStatus = 0;

  std::string fLine;         // the line being received
  size_t fHeaderBytes = 0;
  bool fRequestLineSeen = false;
  std::string fOut;

  std::string fMethod;
  std::optional<std::string> fRange;
  bool fExpectContinue = false;
  bool fWantsContinue = false;
  std::optional<uint64_t> fContentLength;
  int fContentLengthCount = 0;
  std::optional<std::string> fTransferEncoding;

  TBodyMode fBodyMode = bmLength;
  uint64_t fBodyBound = 0;
  uint64_t fRemaining = 0;   // bytes still due of the body or of the current chunk
  uint64_t fDecodedBody = 0; // chunk data received so far
};
