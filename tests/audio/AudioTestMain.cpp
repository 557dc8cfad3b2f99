// The audio tests' entry point. It ends without the libraries' exit handlers:
// after a JACK server was killed, a test process was seen waiting forever at
// exit in p11-kit's clean-up, which frees a locale and so waits for glibc's
// locale lock, with no other thread left to release it. As far as we can tell
// a client thread that libjack cancels asynchronously (its threads run with
// that cancel type) was caught holding it. Output is flushed, and under
// LeakSanitizer the leak check runs first, as a normal exit would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
#if defined(__SANITIZE_ADDRESS__)
  if (__lsan_do_recoverable_leak_check() != 0) result = 1;
#endif
  std::fflush(nullptr);
  _exit(result);
}
