#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "batch.hpp"

extern char **environ; // NOLINT(readability-redundant-declaration)

namespace {

// Gives the child's descriptor `to` the descriptor `from`, or /dev/null.
int map_fd(posix_spawn_file_actions_t *actions, int from, int to) {
  if (from < 0)
    return posix_spawn_file_actions_addopen(actions, to, "/dev/null",
                                            to == 0 ? O_RDONLY : O_WRONLY, 0);
  return posix_spawn_file_actions_adddup2(actions, from, to);
}

} // namespace

pid_t spawn_child(const child_spec &spec) {
  std::vector<char *> argv(spec.argv.size() + 1, nullptr);
  std::transform(
      spec.argv.begin(), spec.argv.end(), argv.begin(),
      [](const std::string &a) { return const_cast<char *>(a.c_str()); });

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  rc = posix_spawnattr_init(&attr);
  if (rc != 0) {
    posix_spawn_file_actions_destroy(&actions);
    errno = rc;
    return -1;
  }
  // The driver ignores SIGPIPE and SIGXFSZ and blocks the stop signals at
  // times: the child starts with neither.
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ, SIGCHLD})
    sigaddset(&defaults, s);
  rc = posix_spawnattr_setsigmask(&attr, &none);
  if (rc == 0)
    rc = posix_spawnattr_setsigdefault(&attr, &defaults);
  if (rc == 0)
    rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK |
                                             POSIX_SPAWN_SETSIGDEF);
  if (rc == 0)
    rc = map_fd(&actions, spec.in, 0);
  if (rc == 0)
    rc = map_fd(&actions, spec.out, 1);
  if (rc == 0)
    rc = map_fd(&actions, spec.err, 2);
  pid_t pid = -1;
  if (rc == 0)
    rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

int wait_child(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  return status;
}

std::string status_text(int status) {
  if (WIFSIGNALED(status))
    return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

bool on_path(const char *name) {
  const char *path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (true) {
    const std::size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    if (dir.empty())
      dir = ".";
    const std::string file = dir + "/" + name;
    struct stat st {};
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(file.c_str(), X_OK) == 0)
      return true;
    if (colon == std::string_view::npos)
      return false;
    rest.remove_prefix(colon + 1);
  }
}

void catch_stop_signals(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  for (const int s : {SIGINT, SIGTERM, SIGHUP})
    sigaction(s, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool make_pipe(int fds[2]) { return pipe2(fds, O_CLOEXEC) == 0; }

std::string sox_formats() {
  int p[2];
  if (!make_pipe(p))
    return "";
  child_spec spec;
  spec.argv = {"sox", "-h"};
  spec.out = p[1];
  spec.err = p[1];
  const pid_t pid = spawn_child(spec);
  close(p[1]);
  std::string text;
  char buf[4096];
  while (pid > 0) {
    const ssize_t n = read(p[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  close(p[0]);
  if (pid > 0)
    wait_child(pid);
  constexpr std::string_view mark = "AUDIO FILE FORMATS: ";
  const std::size_t at = text.find(mark);
  if (at == std::string::npos)
    return "";
  const std::size_t from = at + mark.size();
  const std::size_t end = text.find('\n', from);
  return " " + text.substr(from, end - from) + " ";
}
