#pragma once
// A full disk as a writer sees it, for root too: while a TFileSizeLimit lives,
// files may grow no further than iBytes (writes past the limit fail; SIGXFSZ
// is ignored meanwhile).
#include <signal.h>
#include <sys/resource.h>

class TFileSizeLimit {
public:
  explicit TFileSizeLimit(rlim_t iBytes) {
    getrlimit(RLIMIT_FSIZE, &fOld);
    fOldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = fOld;
    limit.rlim_cur = iBytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &fOld);
    signal(SIGXFSZ, fOldHandler);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
  rlimit fOld{};
  sighandler_t fOldHandler;
};
