// Stop signals and the standard descriptors, set up alike by every
// companion.
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include "companion.hpp"

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Whether fd is open, and for writing when `write` is set.
bool is_open(int fd, bool write) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1)
    return false;
  return !write || (flags & O_ACCMODE) != O_RDONLY;
}

} // namespace

void catch_stop_signals(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  for (const int s : stop_signals)
    sigaddset(&sa.sa_mask, s);
  for (const int s : stop_signals)
    sigaction(s, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void hold_stop_signals(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : stop_signals)
    sigaddset(&set, s);
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

std::string signal_name(int sig) {
  switch (sig) {
  case SIGINT:
    return "SIGINT";
  case SIGTERM:
    return "SIGTERM";
  case SIGHUP:
    return "SIGHUP";
  default:
    return "signal " + std::to_string(sig);
  }
}

bool guard_std_fds(std_fds *was) {
  was->in_open = is_open(0, false);
  was->out_open = is_open(1, true);
  for (int fd = 0; fd < 3; fd++)
    if (!is_open(fd, false) && open("/dev/null", O_RDWR) != fd)
      return false;
  return true;
}
