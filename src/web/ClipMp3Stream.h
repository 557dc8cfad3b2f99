#pragma once
// A clip encoded to MP3 by lame while it is read: a thread of its own feeds
// the assembler's samples to lame's input; the reader takes lame's output as
// it comes. Dropping the stream (the client went away) ends lame and the
// thread.
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>

#include "web/ClipAssembler.h"

class TClipMp3Stream {
public:
  // Throws std::runtime_error when lame cannot be started.
  explicit TClipMp3Stream(std::unique_ptr<TClipAssembler> iAssembler, int iBitrate = 128);
  ~TClipMp3Stream();
  TClipMp3Stream(const TClipMp3Stream&) = delete;
  TClipMp3Stream& operator=(const TClipMp3Stream&) = delete;

  // Up to iSize bytes of the MP3 stream, blocking until lame has some; 0 at
  // its end.
  size_t Read(char* oData, size_t iSize);

private:
  void Feed();
  std::unique_ptr<TClipAssembler> fAssembler;
  pid_t fPid = -1;
  int fInput = -1;   // lame's standard input (the feeder's end)
  int fOutput = -1;  // lame's standard output (the reader's end)
  std::atomic<bool> fStop{false};
  std::thread fFeeder;
};
