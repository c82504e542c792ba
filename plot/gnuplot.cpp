// gnuplot as a child without a shell: the script goes in through a pipe,
// the picture comes back through another, its complaints through a third.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "plot.hpp"

extern char **environ;

namespace {

// What of gnuplot's standard error is kept for the message.
constexpr std::size_t max_err_bytes = 8192;

bool make_pipe(int fds[2]) {
  if (pipe(fds) != 0)
    return false;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

void close_fd(int *fd) {
  if (*fd >= 0)
    close(*fd);
  *fd = -1;
}

// What gnuplot says in a locale whose character set is not UTF-8 (C, for
// one: cron, env -i) once the script sets its encoding to UTF-8. It is
// about the degree sign, which no picture draws, so it is no failure.
const std::string_view locale_warning =
    "warning: iconv failed to convert degree sign";

// gnuplot's standard error without its lines about the locale.
std::string drop_locale_warnings(const std::string &err) {
  std::string kept;
  for (std::size_t start = 0; start < err.size();) {
    std::size_t end = err.find('\n', start);
    end = end == std::string::npos ? err.size() : end + 1;
    const std::string_view line(err.data() + start, end - start);
    if (line.find(locale_warning) == std::string_view::npos)
      kept += line;
    start = end;
  }
  return kept;
}

// Our environment less GNUTERM: a terminal that this gnuplot may lack
// (x11 on gnuplot-nox) fails its start-up and garbles the script, though
// the script sets its own terminal.
std::vector<char *> child_environment() {
  std::vector<char *> env;
  for (char **e = environ; *e != nullptr; e++)
    if (std::strncmp(*e, "GNUTERM=", 8) != 0)
      env.push_back(*e);
  env.push_back(nullptr);
  return env;
}

// The last line gnuplot wrote that says something, without its indent: its
// message is the last, after an echo of the failed command.
std::string last_line(const std::string &err) {
  std::string line;
  std::size_t end = err.size();
  while (end > 0) {
    const std::size_t start = err.rfind('\n', end - 1);
    const std::size_t from = start == std::string::npos ? 0 : start + 1;
    line = err.substr(from, end - from);
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first != std::string::npos) {
      line = line.substr(first);
      break;
    }
    end = start == std::string::npos ? 0 : start;
  }
  // Only printable ASCII reaches the terminal.
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
  return line;
}

pid_t start_gnuplot(int in_fd, int out_fd, int err_fd, int *spawn_err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGXFSZ})
    sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  // -d: no initialisation file of the user's changes the picture.
  char name[] = "gnuplot";
  char defaults_opt[] = "-d";
  char *argv[] = {name, defaults_opt, nullptr};
  pid_t pid = 0;
  // Signals wait until the child is noted, so that one arriving now still
  // finds it to kill.
  hold_signals(true);
  std::vector<char *> env = child_environment();
  *spawn_err = posix_spawnp(&pid, "gnuplot", &actions, &attr, argv, env.data());
  if (*spawn_err == 0)
    note_child(pid);
  hold_signals(false);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return *spawn_err == 0 ? pid : -1;
}

// Waits for the child to end, then reaps it with signals held, so that the
// handler never kills a number that another process has taken since.
int reap(pid_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
  hold_signals(true);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  note_child(0);
  hold_signals(false);
  return status;
}

} // namespace

std::string run_gnuplot(const std::string &script, std::string *picture) {
  int in[2];
  int out[2];
  int err[2];
  if (!make_pipe(in))
    return std::string("cannot make a pipe: ") + std::strerror(errno);
  if (!make_pipe(out)) {
    const int e = errno;
    close(in[0]);
    close(in[1]);
    return std::string("cannot make a pipe: ") + std::strerror(e);
  }
  if (!make_pipe(err)) {
    const int e = errno;
    for (const int fd : {in[0], in[1], out[0], out[1]})
      close(fd);
    return std::string("cannot make a pipe: ") + std::strerror(e);
  }
  int spawn_err = 0;
  const pid_t pid = start_gnuplot(in[0], out[1], err[1], &spawn_err);
  close_fd(&in[0]);
  close_fd(&out[1]);
  close_fd(&err[1]);
  if (pid < 0) {
    for (int *fd : {&in[1], &out[0], &err[0]})
      close_fd(fd);
    if (spawn_err == ENOENT)
      return "gnuplot is not on the PATH";
    return std::string("cannot run gnuplot: ") + std::strerror(spawn_err);
  }
  fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);
  picture->clear();
  std::string complaints;
  std::size_t sent = 0;
  if (script.empty())
    close_fd(&in[1]);
  char buf[65536];
  while (out[0] >= 0 || err[0] >= 0) {
    pollfd fds[3] = {
        {in[1], POLLOUT, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (in[1] >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n =
          write(in[1], script.data() + sent, script.size() - sent);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      // A gnuplot that stopped reading has said why on its standard error.
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || sent == script.size())
        close_fd(&in[1]);
    }
    for (int k = 1; k < 3; k++) {
      int *fd = k == 1 ? &out[0] : &err[0];
      if (*fd < 0 || (fds[k].revents & (POLLIN | POLLERR | POLLHUP)) == 0)
        continue;
      const ssize_t n = read(*fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        close_fd(fd);
      } else if (k == 1) {
        picture->append(buf, static_cast<std::size_t>(n));
      } else if (complaints.size() < max_err_bytes) {
        complaints.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  for (int *fd : {&in[1], &out[0], &err[0]})
    close_fd(fd);
  complaints = drop_locale_warnings(complaints);
  const int status = reap(pid);
  if (WIFSIGNALED(status))
    return "gnuplot was killed by signal " + std::to_string(WTERMSIG(status));
  if (WEXITSTATUS(status) != 0 || !complaints.empty()) {
    const std::string why = last_line(complaints);
    return "gnuplot failed: " +
           (why.empty() ? "status " + std::to_string(WEXITSTATUS(status))
                        : why);
  }
  if (picture->empty())
    return "gnuplot wrote no picture";
  return "";
}
