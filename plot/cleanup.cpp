// What a TERM, INT or HUP leaves behind: nothing. The handler itself kills
// the child and removes the temporary files, with async-signal-safe calls
// only, so that no window between a check and a blocking call loses one.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

#include "plot.hpp"

namespace {

constexpr int max_paths = 4;
constexpr std::size_t path_bytes = 4200;

char paths[max_paths][path_bytes];
volatile std::sig_atomic_t path_used[max_paths];
volatile std::sig_atomic_t child_pid;

const int watched[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void on_signal(int) {
  const pid_t pid = child_pid;
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  for (int i = 0; i < max_paths; i++)
    if (path_used[i] != 0)
      unlink(paths[i]);
  static const char msg[] = "bandsway-plot: stopped by a signal\n";
  // Nothing is left to do if even this fails.
  if (write(2, msg, sizeof msg - 1) < 0)
    _exit(1);
  _exit(1);
}

} // namespace

void watch_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (const int s : watched)
    sigaddset(&sa.sa_mask, s);
  for (const int s : watched)
    sigaction(s, &sa, nullptr);
  // A closed reader shows as EPIPE on the write, and a file size limit
  // (ulimit -f) as EFBIG, each with a message, rather than a silent death
  // that would leave temporary files.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void hold_signals(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : watched)
    sigaddset(&set, s);
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void note_child(pid_t pid) { child_pid = pid; }

int make_temp(std::string *path, int *slot) {
  *slot = -1;
  if (path->size() >= path_bytes) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int i = 0;
  while (i < max_paths && path_used[i] != 0)
    i++;
  ALWAYS_ASSERT(i < max_paths);
  // The name is noted in the slot itself, where mkstemp fills it in, and
  // signals wait until the file and its name are both there.
  std::memcpy(paths[i], path->c_str(), path->size() + 1);
  hold_signals(true);
  const int fd = mkstemp(paths[i]);
  const int err = errno;
  if (fd >= 0) {
    path_used[i] = 1;
    *slot = i;
    *path = paths[i];
  }
  hold_signals(false);
  errno = err;
  return fd;
}

void forget_path(int slot) {
  if (slot >= 0)
    path_used[slot] = 0;
}

std::string temp_dir() {
  const char *env = std::getenv("TMPDIR");
  std::string dir = env != nullptr && *env != '\0' ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  return dir;
}
