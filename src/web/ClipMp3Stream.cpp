#include "web/ClipMp3Stream.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

TClipMp3Stream::TClipMp3Stream(std::unique_ptr<TClipAssembler> iAssembler, int iBitrate)
    : fAssembler(std::move(iAssembler)) {
  // lame that ends early (a client gone) must come back to the feeder as
  // EPIPE, not end the program
  static const bool sIgnored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)sIgnored;
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  const auto& plan = fAssembler->Plan();
  // as the recorder runs lame on raw 16-bit input
  std::vector<std::string> args = {"lame",     "--flush", "--quiet", "-r",          "-s",
                                   std::to_string(plan.fRate), "--bitwidth", "16", "--signed", "--little-endian",
                                   "-b",       std::to_string(iBitrate), "-m", plan.fChannels == 1 ? "m" : "j",
                                   "-",        "-"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int rc = posix_spawnp(&fPid, "lame", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  fInput = in[1];
  fOutput = out[0];
  if (rc != 0) {
    ::close(fInput);
    ::close(fOutput);
    throw std::runtime_error(std::string("Unable to run lame: ") + std::strerror(rc));
  }
  fFeeder = std::thread([this] { Feed(); });
}

TClipMp3Stream::~TClipMp3Stream() {
  fStop = true;
  ::kill(fPid, SIGKILL);  // a stream read to its end has ended lame already
  if (fFeeder.joinable()) fFeeder.join();
  ::close(fOutput);
  int status = 0;
  while (::waitpid(fPid, &status, 0) < 0 && errno == EINTR) {
  }
}

void TClipMp3Stream::Feed() {
  std::vector<int16_t> block(8192 * static_cast<size_t>(fAssembler->Plan().fChannels));
  const size_t frameBytes = static_cast<size_t>(fAssembler->Plan().fChannels) * sizeof(int16_t);
  try {
    while (!fStop.load()) {
      const size_t frames = fAssembler->Read(block.data(), 8192);
      if (frames == 0) break;
      const char* p = reinterpret_cast<const char*>(block.data());
      size_t left = frames * frameBytes;
      while (left > 0) {
        const ssize_t n = ::write(fInput, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          left = 0;
          fStop = true;
          break;
        }
        p += n;
        left -= static_cast<size_t>(n);
      }
    }
  } catch (const std::exception&) {
    // the clip ends where its source failed
  }
  ::close(fInput);  // lame finishes the stream
}

size_t TClipMp3Stream::Read(char* oData, size_t iSize) {
  for (;;) {
    const ssize_t n = ::read(fOutput, oData, iSize);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
}
