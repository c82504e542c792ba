// The batches, and GNU parallel started on them.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include <unistd.h>
#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

#include "batch.hpp"

namespace {

// The path of this program as the system knows it, or "": FreeBSD's
// sysctl, Linux's /proc/self/exe. (FreeBSD's procfs, when mounted at all,
// has no self/exe.)
std::string own_path() {
#if defined(__FreeBSD__)
  int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
  char buf[PATH_MAX];
  std::size_t len = sizeof buf;
  if (sysctl(mib, 4, buf, &len, nullptr, 0) == 0 && len > 1)
    return std::string(buf, len - 1);
#elif defined(__linux__) && !defined(BANDSWAY_PORTABLE)
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0)
    return std::string(buf, static_cast<std::size_t>(n));
#endif
  return "";
}

// The program that local jobs run: this one, found without /proc where
// the system cannot tell (argv[0] with a slash, made absolute), and only
// then by its name on the PATH, which may be another version. Remote jobs
// run the one on their machine's PATH.
std::string self_path(bool remote, const std::string &argv0) {
  if (remote)
    return prog_name;
  std::string path = own_path();
  if (path.empty() && argv0.find('/') != std::string::npos) {
    std::unique_ptr<char, void (*)(void *)> real(
        realpath(argv0.c_str(), nullptr), std::free);
    if (real)
      path = real.get();
  }
  return path.empty() ? prog_name : path;
}

} // namespace

std::vector<std::size_t> make_batches(std::size_t n, std::size_t slots) {
  // Half of what is left per job slot, at most max_batch_files, so that
  // the last jobs are single files and no slot idles long while another
  // finishes.
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < n;) {
    starts.push_back(at);
    const std::size_t size =
        std::clamp<std::size_t>((n - at) / (slots * 2), 1, max_batch_files);
    at += std::min(size, n - at);
  }
  return starts;
}

std::size_t batch_end(const run &r, std::size_t b) {
  return b + 1 < r.batch_starts.size() ? r.batch_starts.at(b + 1)
                                       : r.todo.size();
}

int write_batches(const run &r) {
  const std::string dir = temp_dir();
  const int fd = unlinked_temp(dir);
  if (fd < 0) {
    say("cannot make a temporary file in " + shown_path(dir) + ": " +
        error_text(errno));
    return -1;
  }
  std::string buf;
  int err = 0;
  for (std::size_t b = 0; b < r.batch_starts.size() && err == 0; b++) {
    const std::size_t end = batch_end(r, b);
    for (std::size_t i = r.batch_starts[b]; i < end; i++) {
      buf += r.todo[i];
      buf += i + 1 < end ? '\t' : '\0';
    }
    if (buf.size() >= (1U << 16) || end == r.todo.size()) {
      err = write_all(fd, buf);
      buf.clear();
    }
  }
  if (err == 0 && lseek(fd, 0, SEEK_SET) != 0)
    err = errno;
  if (err != 0) {
    say("cannot write a temporary file in " + shown_path(dir) + ": " +
        error_text(err));
    close(fd);
    return -1;
  }
  return fd;
}

pid_t start_parallel(const driver_options &opts, const std::string &cwd,
                     std::size_t batches, int batch_fd, int rows_fd) {
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  // A slot per batch at most: parallel starts a probe per slot.
  const std::size_t slots = std::min<std::size_t>(
      opts.jobs > 0 ? static_cast<std::size_t>(opts.jobs)
                    : static_cast<std::size_t>(std::max(1L, cpus)),
      batches);
  child_spec spec;
  spec.argv = {"parallel", "--will-cite", "-0",
               "-q",       "-j",          std::to_string(slots)};
  if (!opts.out.empty())
    spec.argv.emplace_back("--line-buffer");
  if (!opts.logins.empty()) {
    spec.argv.emplace_back("--sshlogin");
    spec.argv.push_back(opts.logins);
  }
  if (isatty(2) != 0) {
    spec.argv.emplace_back("--bar");
    spec.argv.emplace_back("--total-jobs");
    spec.argv.push_back(std::to_string(batches));
  }
  spec.argv.push_back(self_path(!opts.logins.empty(), opts.argv0));
  for (const char *a : {"--job", "--cwd"})
    spec.argv.emplace_back(a);
  spec.argv.push_back(cwd);
  spec.in = batch_fd;
  spec.out = rows_fd;
  spec.err = 2;
  // A job is one plain command: any shell runs it, here or remotely.
  setenv("PARALLEL_SHELL", "sh", 0);
  const pid_t pid = spawn_child(spec);
  if (pid < 0)
    say("cannot start parallel: " + error_text(errno));
  return pid;
}
