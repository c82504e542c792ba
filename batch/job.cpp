// The job mode that parallel runs on each machine: one batch of files,
// a row or a named failure for each, then the account of the batch.
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch.hpp"

namespace {

volatile sig_atomic_t job_signal = 0;

void on_stop_signal(int sig) { job_signal = sig; }

// The size of the relay's buffer: more than a pipe holds.
constexpr std::size_t relay_bytes = 1U << 20;

// The lifeline's read end, when the driver on this machine left one.
int take_lifeline() {
  const char *v = std::getenv(lifeline_env);
  if (v == nullptr || *v == '\0')
    return -1;
  char *end = nullptr;
  const long fd = std::strtol(v, &end, 10);
  struct stat st {};
  if (*end != '\0' || fd < 3 || fd > 65535 ||
      fstat(static_cast<int>(fd), &st) != 0 || !S_ISFIFO(st.st_mode))
    return -1;
  // The decoder and bandsway need not hold it.
  fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
}

std::string host_name() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0')
    return "localhost";
  std::string h(buf);
  std::replace_if(
      h.begin(), h.end(), [](char c) { return c == ' ' || c == '\t'; }, '_');
  return h;
}

// The escaped paths of a batch, tab-separated.
std::vector<std::string> batch_names(const std::string &batch) {
  std::vector<std::string> names;
  for (std::size_t from = 0; from <= batch.size();) {
    std::size_t end = batch.find('\t', from);
    if (end == std::string::npos)
      end = batch.size();
    if (end > from)
      names.push_back(batch.substr(from, end - from));
    from = end + 1;
  }
  return names;
}

} // namespace

int run_job(const std::string &cwd, const std::string &batch) {
  catch_stop_signals(on_stop_signal);
  job_context job;
  job.life = take_lifeline();
  job.host = host_name();
  job.have_sox = on_path("sox");
  job.have_ffmpeg = on_path("ffmpeg");
  job.stop = &job_signal;
  job.buf.resize(relay_bytes);

  const std::vector<std::string> names = batch_names(batch);
  const std::string first = names.empty() ? std::string() : names.front();
  // The driver takes this job's rows only after this line.
  if (const int err = write_all(1, std::string(job_mark) + "start " +
                                       std::to_string(job_protocol) + " " +
                                       job.host + "\t" + first + "\n");
      err != 0) {
    say("cannot write the start of a batch: " + error_text(err));
    return job_broken;
  }
  std::size_t failed = 0;
  for (const std::string &name : names) {
    std::string path = unescape_path(name);
    if (path.front() != '/')
      path.insert(0, cwd + "/");
    const file_outcome o = analyse(name, path, job);
    if (o.stopped)
      return job_signal != 0 ? 128 + job_signal : job_broken;
    if (!o.reason.empty()) {
      say_about(name, o.reason);
      failed++;
    } else if (const int err = write_all(
                   1, std::string(job_mark) + "row " +
                          std::to_string(o.row.size() - 1) + "\t" + o.row);
               err != 0) {
      say_about(name, "cannot write its row: " + error_text(err));
      return job_broken;
    }
  }
  // The account: every file of the batch has a row or was named above.
  // The driver sums these, so that jobs that never ran, or were cut off
  // before this line, are noticed.
  const std::string account = std::string(job_mark) + "end " +
                              std::to_string(job_protocol) + " " + job.host +
                              " " + std::to_string(names.size()) + " " +
                              std::to_string(failed) + "\t" + first + "\n";
  if (const int err = write_all(1, account); err != 0) {
    say("cannot write the account of a batch: " + error_text(err));
    return job_broken;
  }
  return failed != 0 ? job_some_failed : 0;
}
