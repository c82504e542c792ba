// Children started without a shell, waited for, and described.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "companion.hpp"

extern char **environ; // NOLINT(readability-redundant-declaration)

namespace {

// Gives the child's descriptor `to` the descriptor `from`, or /dev/null.
int map_fd(posix_spawn_file_actions_t *actions, int from, int to) {
  if (from < 0)
    return posix_spawn_file_actions_addopen(actions, to, "/dev/null",
                                            to == 0 ? O_RDONLY : O_WRONLY, 0);
  return posix_spawn_file_actions_adddup2(actions, from, to);
}

// Our environment less the variables named in `unset`.
std::vector<char *> child_environment(const std::vector<std::string> &unset) {
  std::vector<char *> env;
  for (char **e = environ; *e != nullptr; e++) {
    const std::string_view var(*e);
    const bool dropped =
        std::any_of(unset.begin(), unset.end(), [var](const std::string &u) {
          return var.size() > u.size() && var.compare(0, u.size(), u) == 0 &&
                 var[u.size()] == '=';
        });
    if (!dropped)
      env.push_back(*e);
  }
  env.push_back(nullptr);
  return env;
}

// The attributes and file actions of a spawn, released on every path.
struct spawn_setup {
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attr{};
  int rc = 0;
  bool have_actions = false;
  bool have_attr = false;
  spawn_setup() {
    rc = posix_spawn_file_actions_init(&actions);
    have_actions = rc == 0;
    if (rc == 0)
      rc = posix_spawnattr_init(&attr);
    have_attr = have_actions && rc == 0;
  }
  spawn_setup(const spawn_setup &) = delete;
  spawn_setup &operator=(const spawn_setup &) = delete;
  ~spawn_setup() {
    if (have_attr)
      posix_spawnattr_destroy(&attr);
    if (have_actions)
      posix_spawn_file_actions_destroy(&actions);
  }
};

} // namespace

bool make_pipe(int fds[2]) { return pipe2(fds, O_CLOEXEC) == 0; }

void close_fd(int *fd) {
  if (*fd >= 0)
    close(*fd);
  *fd = -1;
}

pid_t spawn_child(const child_spec &spec) {
  std::vector<char *> argv(spec.argv.size() + 1, nullptr);
  std::transform(
      spec.argv.begin(), spec.argv.end(), argv.begin(),
      [](const std::string &a) { return const_cast<char *>(a.c_str()); });
  spawn_setup s;
  // We ignore SIGPIPE and SIGXFSZ and block the stop signals at times: the
  // child starts with neither.
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ, SIGCHLD})
    sigaddset(&defaults, sig);
  if (s.rc == 0)
    s.rc = posix_spawnattr_setsigmask(&s.attr, &none);
  if (s.rc == 0)
    s.rc = posix_spawnattr_setsigdefault(&s.attr, &defaults);
  if (s.rc == 0)
    s.rc = posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK |
                                                 POSIX_SPAWN_SETSIGDEF);
  if (s.rc == 0)
    s.rc = map_fd(&s.actions, spec.in, 0);
  if (s.rc == 0)
    s.rc = map_fd(&s.actions, spec.out, 1);
  if (s.rc == 0)
    s.rc = map_fd(&s.actions, spec.err, 2);
  pid_t pid = -1;
  if (s.rc == 0 && !argv.empty() && argv[0] != nullptr) {
    std::vector<char *> env = child_environment(spec.unset);
    s.rc = posix_spawnp(&pid, argv[0], &s.actions, &s.attr, argv.data(),
                        env.data());
  } else if (s.rc == 0) {
    s.rc = EINVAL;
  }
  if (s.rc != 0) {
    errno = s.rc;
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

int run_child(const child_spec &spec, std::string_view input, child_output *got,
              std::size_t err_cap) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (!make_pipe(in) || !make_pipe(out) || !make_pipe(err)) {
    const int e = errno;
    for (int *fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]})
      close_fd(fd);
    errno = e;
    return -1;
  }
  child_spec s = spec;
  s.in = in[0];
  s.out = out[1];
  s.err = err[1];
  const pid_t pid = spawn_child(s);
  const int spawn_errno = errno;
  for (int *fd : {&in[0], &out[1], &err[1]})
    close_fd(fd);
  if (pid < 0) {
    for (int *fd : {&in[1], &out[0], &err[0]})
      close_fd(fd);
    errno = spawn_errno;
    return -1;
  }
  // Our end of its input does not block: we write what the pipe has room
  // for and go back to reading what it prints meanwhile.
  fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);
  got->out.clear();
  got->err.clear();
  if (input.empty())
    close_fd(&in[1]);
  char buf[65536];
  while (out[0] >= 0 || err[0] >= 0) {
    pollfd p[3] = {
        {in[1], POLLOUT, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    if (poll(p, 3, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (in[1] >= 0 && p[0].revents != 0) {
      const ssize_t n = write(in[1], input.data(), input.size());
      if (n > 0)
        input.remove_prefix(static_cast<std::size_t>(n));
      // A child that stopped reading says why on its standard error.
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || input.empty())
        close_fd(&in[1]);
    }
    for (int k = 1; k < 3; k++) {
      int *fd = k == 1 ? &out[0] : &err[0];
      if (*fd < 0 || p[k].revents == 0)
        continue;
      const ssize_t n = read(*fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        close_fd(fd);
      else if (k == 1)
        got->out.append(buf, static_cast<std::size_t>(n));
      else if (got->err.size() < err_cap)
        got->err.append(buf, std::min(static_cast<std::size_t>(n),
                                      err_cap - got->err.size()));
    }
  }
  for (int *fd : {&in[1], &out[0], &err[0]})
    close_fd(fd);
  return wait_child(pid);
}
