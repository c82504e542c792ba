// The jobs' output as the driver takes it: every line checked, rows on to
// the table or, in order, to standard output, accounts summed.
#include <algorithm>
#include <cerrno>
#include <chrono>

#include <poll.h>
#include <unistd.h>

#include "batch.hpp"

namespace {

// How long a stopped run waits for parallel before it kills it outright.
constexpr auto parallel_grace = std::chrono::seconds(3);

// The words of s between single spaces.
std::vector<std::string> split_words(const std::string &s) {
  std::vector<std::string> words;
  std::size_t from = 0;
  while (from <= s.size()) {
    const std::size_t end = std::min(s.find(' ', from), s.size());
    words.push_back(s.substr(from, end - from));
    from = end + 1;
  }
  return words;
}

// The decimal number s holds, or -1 when it holds anything else.
long long number_of(const std::string &s) {
  if (s.empty() || s.size() > 18 ||
      s.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::strtoll(s.c_str(), nullptr, 10);
}

// The index of path among the run's files, or todo.size() when it is none.
std::size_t index_of(const run &r, const std::string &path) {
  const auto it = std::lower_bound(r.todo.begin(), r.todo.end(), path);
  return it != r.todo.end() && *it == path
             ? static_cast<std::size_t>(it - r.todo.begin())
             : r.todo.size();
}

// The batch whose first file is first_path, or batch_starts.size().
std::size_t batch_of(const run &r, std::string_view first_path) {
  const std::size_t i = index_of(r, std::string(first_path));
  const auto it =
      std::lower_bound(r.batch_starts.begin(), r.batch_starts.end(), i);
  return it != r.batch_starts.end() && *it == i
             ? static_cast<std::size_t>(it - r.batch_starts.begin())
             : r.batch_starts.size();
}

// Names a machine whose jobs speak another protocol, once.
void refuse_version(run &r, const std::string &host, long long proto) {
  if (!r.wrong_version)
    say(shown_name(host) +
        " runs a bandsway-batch of another version (job "
        "protocol " +
        std::to_string(proto) + ", this one's is " +
        std::to_string(job_protocol) +
        "): install the same version on every machine");
  r.wrong_version = true;
}

// Takes a job's own line: "\tbsw start PROTOCOL HOST\tFIRST\n" or
// "\tbsw end PROTOCOL HOST FILES FAILED\tFIRST\n". An account vouches only
// for the batch it names, whole, and only after the job's start.
void take_job_line(run &r, const table_file *t, std::string_view line) {
  const std::size_t tab = line.find('\t', job_mark.size());
  const std::vector<std::string> words = split_words(
      std::string(line.substr(job_mark.size(), tab - job_mark.size())));
  // Another version may say more; its protocol and host come first.
  const long long proto = words.size() >= 3 ? number_of(words[1]) : -1;
  const bool start = words.size() == 3 && words[0] == "start";
  const bool end = words.size() == 5 && words[0] == "end";
  const std::size_t b =
      tab == std::string_view::npos
          ? r.batch_starts.size()
          : batch_of(r, line.substr(tab + 1, line.size() - tab - 2));
  if (proto >= 0 && proto != job_protocol) {
    refuse_version(r, words[2], proto);
    return;
  }
  if (b == r.batch_starts.size() || !(start || end)) {
    r.damaged++;
    return;
  }
  if (start) {
    if (r.batches[b] != waiting)
      r.damaged++;
    else
      r.batches[b] = started;
    return;
  }
  const long long files = number_of(words[3]);
  const long long failed = number_of(words[4]);
  std::size_t without_row = 0;
  for (std::size_t k = r.batch_starts[b]; k < batch_end(r, b); k++)
    without_row += r.state[k] == pending ? 1 : 0;
  // The files it names as failed are those of its batch without a row.
  if (r.batches[b] != started ||
      files != static_cast<long long>(batch_end(r, b) - r.batch_starts[b]) ||
      failed != static_cast<long long>(without_row)) {
    r.damaged++;
    return;
  }
  r.batches[b] = accounted;
  r.accounted += static_cast<std::size_t>(files);
  r.failed += without_row;
  for (std::size_t k = r.batch_starts[b]; k < batch_end(r, b); k++)
    if (r.state[k] == pending)
      r.state[k] = settled;
  if (t == nullptr)
    advance(r);
}

// The batch that file i belongs to.
std::size_t batch_of_file(const run &r, std::size_t i) {
  return static_cast<std::size_t>(
      std::upper_bound(r.batch_starts.begin(), r.batch_starts.end(), i) -
      r.batch_starts.begin() - 1);
}

// Takes a line that is not a job's own: damage, or a line of a machine of
// protocol 1, whose rows came bare and whose account names it.
void take_bare(run &r, std::string_view line) {
  if (line.substr(0, old_account_mark.size()) == old_account_mark) {
    const std::vector<std::string> words = split_words(std::string(line.substr(
        old_account_mark.size(), line.find('\t') - old_account_mark.size())));
    if (words.size() == 4 && number_of(words[0]) >= 0) {
      refuse_version(r, words[1], number_of(words[0]));
      return;
    }
  }
  // Rows of a job that never started are another version's.
  const std::size_t i =
      index_of(r, std::string(line.substr(0, line.find('\t'))));
  if (i < r.todo.size() && r.batches[batch_of_file(r, i)] == waiting)
    r.unstarted++;
  else
    r.damaged++;
}

// Takes a row, as "\tbsw row LENGTH\t" and the row: a whole row of LENGTH
// bytes, of a file of this run with no row yet, from a job that has shown
// the right protocol. The length keeps out a line that parallel made of
// two jobs' output when one was cut off in mid-row.
void take_row(run &r, table_file *t, std::string_view framed) {
  const std::size_t tab = framed.find('\t', job_mark.size());
  const std::string_view body = framed.substr(tab + 1, framed.size() - tab - 2);
  const long long length = number_of(std::string(
      framed.substr(job_mark.size() + 4, tab - job_mark.size() - 4)));
  const std::size_t i =
      index_of(r, std::string(body.substr(0, body.find('\t'))));
  if (length != static_cast<long long>(body.size()) || i == r.todo.size() ||
      r.state[i] != pending || r.batches[batch_of_file(r, i)] != started ||
      !is_row(body)) {
    r.damaged++;
    return;
  }
  const std::string line = std::string(body) + "\n";
  r.state[i] = has_row;
  if (t == nullptr) {
    r.held[i] = line;
    advance(r);
    return;
  }
  if (!r.write_error.empty())
    return;
  const int err = write_all(t->fd, line);
  if (err == 0) {
    t->whole += static_cast<off_t>(line.size());
    return;
  }
  r.write_error =
      "cannot write to " + shown_path(t->name) + ": " + error_text(err);
  // Only whole rows stay.
  static_cast<void>(ftruncate(t->fd, t->whole));
}

} // namespace

void advance(run &r) {
  std::string out;
  while (r.next < r.todo.size() && r.state[r.next] != pending) {
    out += r.held[r.next];
    std::string().swap(r.held[r.next]);
    r.next++;
  }
  if (out.empty() || !r.write_error.empty())
    return;
  const int err = write_all(1, out);
  if (err != 0)
    r.write_error = "cannot write to standard output: " + error_text(err);
}

void take_line(run &r, table_file *t, std::string_view line) {
  const std::string_view row_mark = "\tbsw row ";
  if (line.substr(0, row_mark.size()) == row_mark &&
      line.find('\t', row_mark.size()) != std::string_view::npos)
    take_row(r, t, line);
  else if (line.substr(0, job_mark.size()) == job_mark)
    take_job_line(r, t, line);
  else
    take_bare(r, line);
}

void collect(run &r, table_file *t, pid_t par, int rows_fd, int *life_w,
             const volatile sig_atomic_t *stop) {
  std::string buf;
  std::size_t scanned = 0;
  char chunk[65536];
  bool stopping = false;
  auto stop_at = std::chrono::steady_clock::now();
  sigset_t open_mask;
  sigemptyset(&open_mask);
  while (true) {
    if (!stopping && (*stop != 0 || !r.write_error.empty())) {
      stopping = true;
      stop_at = std::chrono::steady_clock::now();
      // The local jobs end as soon as the lifeline closes.
      close_fd(life_w);
    }
    if (stopping) {
      // parallel ignores SIGTERM while it starts up: say it again until it
      // has gone, and at last kill it.
      const bool late =
          std::chrono::steady_clock::now() - stop_at > parallel_grace;
      kill(par, late ? SIGKILL : SIGTERM);
    }
    pollfd p = {rows_fd, POLLIN, 0};
    const timespec tick = {0, 200000000};
    // The stop signals are blocked but here, so that none is lost between
    // the check above and the wait.
    const int n = ppoll(&p, 1, stopping ? &tick : nullptr, &open_mask);
    if (n < 0 && errno != EINTR)
      break;
    if (n <= 0)
      continue;
    const ssize_t got = read(rows_fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    buf.append(chunk, static_cast<std::size_t>(got));
    std::size_t from = 0;
    for (std::size_t nl = buf.find('\n', scanned); nl != std::string::npos;
         nl = buf.find('\n', from)) {
      if (!stopping || t != nullptr)
        take_line(r, t, std::string_view(buf).substr(from, nl + 1 - from));
      from = nl + 1;
    }
    buf.erase(0, from);
    scanned = buf.size();
  }
  if (!buf.empty())
    r.damaged++; // a last line without its end
}
