#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "batch.hpp"

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) {
  if (stop_signal == 0)
    stop_signal = sig;
}

// How long a stopped run waits for parallel before it kills it outright.
constexpr auto parallel_grace = std::chrono::seconds(3);

// What the driver knows of the table FILE, with -o.
struct table_file {
  std::string name;  // as given, for messages
  int fd = -1;       // open for appending, and locked
  off_t whole = 0;   // the end of its last whole row
  bool made = false; // this run created it
};

// Where a file of the run stands.
enum : char { pending, has_row, settled };

// The state of a run once its files are known.
struct run {
  std::vector<std::string> todo;         // escaped paths, sorted
  std::vector<std::size_t> batch_starts; // index of each batch's first
  std::vector<char> state;               // per file
  std::vector<std::string> held;         // rows waiting for earlier ones
  std::size_t next = 0;                  // the next row for stdout
  std::size_t accounted = 0;             // files in the jobs' accounts
  std::size_t failed = 0;                // files named as failed
  std::size_t damaged = 0;               // lines that were not rows
  bool wrong_version = false;            // a job of another protocol
  std::string write_error;               // the table or stdout failed
};

std::string shown(const std::string &raw) {
  return shown_name(escape_path(raw));
}

// Opens, locks and checks FILE; repairs a cut last line and drops damaged
// rows. Returns the rows it holds, or sets *status when the run must end.
std::vector<table_row> open_table(table_file &t, int *status) {
  const std::string name = shown(t.name);
  *status = 1;
  struct stat st {};
  // FILE is replaced through a rename at the end: a link or a device would
  // be replaced by a plain file, and a pipe cannot be read back.
  const bool existed = lstat(t.name.c_str(), &st) == 0;
  t.made = !existed && errno == ENOENT;
  if (existed && !S_ISREG(st.st_mode)) {
    say(name + " is a symbolic link or not a regular file; give the "
               "table's own path");
    return {};
  }
  for (int attempt = 0; attempt < 2; attempt++) {
    if (t.fd >= 0)
      close(t.fd);
    t.fd = open(t.name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (t.fd < 0) {
      say("cannot write " + name + ": " + error_text(errno));
      return {};
    }
    // One run at a time: a second one would add every row again.
    if (flock(t.fd, LOCK_EX | LOCK_NB) != 0) {
      say(name + " is in use by another run (or by what is left of one); "
                 "try again when it has ended");
      return {};
    }
    const int rfd = fcntl(t.fd, F_DUPFD_CLOEXEC, 0);
    FILE *f = rfd < 0 ? nullptr : fdopen(rfd, "r");
    if (f == nullptr) {
      say("cannot read " + name + ": " + error_text(errno));
      if (rfd >= 0)
        close(rfd);
      return {};
    }
    table_scan scan = read_table(f);
    const bool read_failed = ferror(f) != 0;
    std::fclose(f);
    if (read_failed) {
      say("cannot read " + name + ": " + error_text(errno));
      return {};
    }
    if (!scan.header_ok) {
      say(name + " is not a table of this program (its first line is not "
                 "the header); left as it is");
      return {};
    }
    if (fstat(t.fd, &st) != 0 ||
        (st.st_size > scan.whole_end && ftruncate(t.fd, scan.whole_end) != 0)) {
      say(name + ": cannot remove a partial row: " + error_text(errno));
      return {};
    }
    t.whole = scan.whole_end;
    if (scan.damaged == 0) {
      *status = 0;
      return std::move(scan.rows);
    }
    // A crash can leave worse than a cut last line (a block of zeros after
    // a power cut): such rows are dropped, and their files redone.
    const std::string why = rewrite_table(t.name, t.fd, scan.rows);
    if (!why.empty()) {
      std::string m = name;
      m += " has damaged rows and cannot be rewritten without them: ";
      m += why;
      say(m);
      return {};
    }
    say(name + ": dropped damaged rows; their files are analysed again");
  }
  say("cannot write " + name + ": it keeps changing");
  return {};
}

// Splits n files into batches: half of what is left per job slot, at most
// max_batch_files, so that the last jobs are single files and no slot
// idles long while another finishes.
std::vector<std::size_t> make_batches(std::size_t n, std::size_t slots) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < n;) {
    starts.push_back(at);
    const std::size_t size =
        std::clamp<std::size_t>((n - at) / (slots * 2), 1, max_batch_files);
    at += std::min(size, n - at);
  }
  return starts;
}

// The index after the last file of batch b.
std::size_t batch_end(const run &r, std::size_t b) {
  return b + 1 < r.batch_starts.size() ? r.batch_starts.at(b + 1)
                                       : r.todo.size();
}

// Writes the batches, NUL-terminated, to an unlinked temporary file, which
// becomes parallel's standard input; -1 after saying why it cannot.
int write_batches(const run &r) {
  const char *env = std::getenv("TMPDIR");
  const std::string dir = env != nullptr && *env != '\0' ? env : "/tmp";
  std::string name = dir + "/bandsway-batch.XXXXXX";
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    say("cannot make a temporary file in " + shown(dir) + ": " +
        error_text(errno));
    return -1;
  }
  unlink(name.c_str());
  std::string buf;
  bool ok = true;
  for (std::size_t b = 0; b < r.batch_starts.size() && ok; b++) {
    const std::size_t end = batch_end(r, b);
    for (std::size_t i = r.batch_starts[b]; i < end; i++) {
      buf += r.todo[i];
      buf += i + 1 < end ? '\t' : '\0';
    }
    if (buf.size() >= (1U << 16) || end == r.todo.size()) {
      ok = write_all(fd, buf);
      buf.clear();
    }
  }
  if (!ok || lseek(fd, 0, SEEK_SET) != 0) {
    say("cannot write a temporary file in " + shown(dir) + ": " +
        error_text(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// Prints the rows that are next on standard output, in order.
void advance(run &r) {
  std::string out;
  while (r.next < r.todo.size() && r.state[r.next] != pending) {
    out += r.held[r.next];
    std::string().swap(r.held[r.next]);
    r.next++;
  }
  if (!out.empty() && r.write_error.empty() && !write_all(1, out))
    r.write_error = "cannot write to standard output: " + error_text(errno);
}

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

// Takes one line of the jobs' output: a row or a job's account.
void take_line(run &r, table_file *t, std::string_view line) {
  if (line.substr(0, account_mark.size()) == account_mark) {
    // "#bsw PROTOCOL HOST FILES FAILED\tFIRST-PATH\n"
    const std::string head(line.substr(account_mark.size(),
                                       line.find('\t') - account_mark.size()));
    const std::size_t tab = line.find('\t');
    const std::vector<std::string> words = split_words(head);
    const long long proto = words.size() == 4 ? number_of(words[0]) : -1;
    const long long files = words.size() == 4 ? number_of(words[2]) : -1;
    const long long failed = words.size() == 4 ? number_of(words[3]) : -1;
    if (tab == std::string_view::npos || line.back() != '\n' || proto < 0 ||
        files < 0 || failed < 0) {
      r.damaged++;
      return;
    }
    const std::string &host = words[1];
    if (proto != job_protocol) {
      if (!r.wrong_version)
        say(shown_name(host) +
            " runs a bandsway-batch of another version "
            "(job protocol " +
            std::to_string(proto) + ", this one's is " +
            std::to_string(job_protocol) +
            "): install the same version on every machine");
      r.wrong_version = true;
    }
    r.accounted += static_cast<std::size_t>(files);
    r.failed += static_cast<std::size_t>(failed);
    const std::string first(line.substr(tab + 1, line.size() - tab - 2));
    const auto it = std::lower_bound(r.todo.begin(), r.todo.end(), first);
    if (it == r.todo.end() || *it != first)
      return;
    const auto b = static_cast<std::size_t>(
        std::upper_bound(r.batch_starts.begin(), r.batch_starts.end(),
                         static_cast<std::size_t>(it - r.todo.begin())) -
        r.batch_starts.begin() - 1);
    for (std::size_t i = r.batch_starts[b]; i < batch_end(r, b); i++)
      if (r.state[i] == pending)
        r.state[i] = settled;
    if (t == nullptr)
      advance(r);
    return;
  }
  const std::string_view body = line.substr(0, line.size() - 1);
  const std::string path(body.substr(0, body.find('\t')));
  const auto it = std::lower_bound(r.todo.begin(), r.todo.end(), path);
  if (line.back() != '\n' || !is_row(body) || it == r.todo.end() ||
      *it != path ||
      r.state[static_cast<std::size_t>(it - r.todo.begin())] != pending) {
    r.damaged++;
    return;
  }
  const auto i = static_cast<std::size_t>(it - r.todo.begin());
  r.state[i] = has_row;
  if (t == nullptr) {
    r.held[i] = line;
    advance(r);
  } else if (r.write_error.empty()) {
    if (write_all(t->fd, line)) {
      t->whole += static_cast<off_t>(line.size());
    } else {
      r.write_error =
          "cannot write to " + shown(t->name) + ": " + error_text(errno);
      // Only whole rows stay.
      static_cast<void>(ftruncate(t->fd, t->whole));
    }
  }
}

// The path of this program, for the local jobs; its name for remote ones.
std::string self_path(bool remote) {
  if (!remote) {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0)
      return std::string(buf, static_cast<std::size_t>(n));
  }
  return batch_prog;
}

const char *signal_name(int sig) {
  return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
}

// Starts parallel on the batches; -1 after saying why it cannot.
pid_t start_parallel(const driver_options &opts, std::size_t batches,
                     int batch_fd, int rows_fd) {
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  // A slot per batch at most: parallel starts a probe per slot.
  const std::size_t slots = std::min<std::size_t>(
      opts.jobs > 0 ? static_cast<std::size_t>(opts.jobs)
                    : static_cast<std::size_t>(std::max(1L, cpus)),
      batches);
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    say("cannot tell the current folder: " + error_text(errno));
    return -1;
  }
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
  for (const char *a : {"--job", "--cwd"})
    spec.argv.emplace_back(a);
  spec.argv.insert(spec.argv.end() - 2, self_path(!opts.logins.empty()));
  spec.argv.emplace_back(cwd);
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

// Reads the jobs' output until parallel and its jobs are done, stopping
// them on a signal or a failed write.
void collect(run &r, table_file *t, pid_t par, int rows_fd, int *life_w) {
  std::string buf;
  std::size_t scanned = 0;
  char chunk[65536];
  bool stopping = false;
  auto stop_at = std::chrono::steady_clock::now();
  sigset_t open_mask;
  sigemptyset(&open_mask);
  while (true) {
    if (!stopping && (stop_signal != 0 || !r.write_error.empty())) {
      stopping = true;
      stop_at = std::chrono::steady_clock::now();
      // The local jobs end as soon as the lifeline closes.
      close(*life_w);
      *life_w = -1;
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

} // namespace

int run_driver(const driver_options &opts) {
  // A closed standard output must not become one of our pipes.
  const bool stdout_closed = fcntl(1, F_GETFD) < 0;
  for (int fd = 0; fd < 3; fd++)
    if (fcntl(fd, F_GETFD) < 0 &&
        open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
      return 1;
  catch_stop_signals(on_stop_signal);
  // Past a file size limit (ulimit -f) a write must fail with EFBIG, which
  // is named and leaves whole rows, rather than kill the driver mid-row.
  signal(SIGXFSZ, SIG_IGN);

  std::string missing;
  for (const char *cmd : {"sox", "bandsway", "spline", "parallel"})
    if (!on_path(cmd))
      missing += std::string(" ") + cmd;
  if (!missing.empty()) {
    say("not on the PATH:" + missing +
        " (sox, plotutils' spline and GNU parallel are packages; bandsway "
        "is this project)");
    return 1;
  }

  table_file table;
  table_file *t = nullptr;
  std::vector<table_row> done;
  if (!opts.out.empty()) {
    table.name = opts.out;
    t = &table;
    int status = 0;
    done = open_table(table, &status);
    if (status != 0)
      return status;
  }

  // The endings looked for: each goes to sox if this machine's sox decodes
  // it, otherwise to ffmpeg if there is one.
  const std::string formats = sox_formats();
  const bool have_ffmpeg = on_path("ffmpeg");
  if (!have_ffmpeg)
    say("ffmpeg is not installed: files that this sox cannot decode (such "
        "as m4a, aac, opus, wma, mp4) are not looked for");
  std::vector<std::string> extensions;
  for (const std::string_view e : audio_extensions) {
    std::string word = " ";
    word += e;
    word += ' ';
    if (have_ffmpeg || formats.find(word) != std::string::npos)
      extensions.emplace_back(e);
  }

  scan_result found = scan_arguments(opts.args, extensions, &stop_signal);
  run r;
  pid_t par = -1;
  int life_w = -1;
  if (stop_signal == 0 && found.paths.empty()) {
    say("no audio files found");
    // A table this run made, still empty, would only puzzle the user.
    if (t != nullptr && table.made && table.whole == 0)
      unlink(table.name.c_str());
    return 1;
  }
  r.todo = t != nullptr ? drop_done(found.paths, done) : std::move(found.paths);
  std::vector<table_row>().swap(done);
  const bool table_is_empty = t != nullptr && table.whole == 0;
  if (stop_signal == 0 && (!r.todo.empty() || table_is_empty)) {
    const std::size_t hosts =
        opts.logins.empty()
            ? 1
            : 1 + static_cast<std::size_t>(
                      std::count(opts.logins.begin(), opts.logins.end(), ','));
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t slots =
        (opts.jobs > 0 ? static_cast<std::size_t>(opts.jobs)
                       : static_cast<std::size_t>(std::max(1L, cpus))) *
        hosts;
    r.batch_starts = make_batches(r.todo.size(), slots);
    r.state.assign(r.todo.size(), pending);
    if (t == nullptr)
      r.held.resize(r.todo.size());
    const int batch_fd = r.todo.empty() ? -2 : write_batches(r);
    if (batch_fd == -1)
      return 1;
    // Nothing is printed before the work can start.
    const std::string header = table_header() + "\n";
    if (t == nullptr && (stdout_closed || !write_all(1, header))) {
      say("cannot write to standard output: " +
          error_text(stdout_closed ? EBADF : errno));
      return 1;
    }
    if (table_is_empty) {
      if (!write_all(table.fd, header)) {
        say("cannot write to " + shown(table.name) + ": " + error_text(errno));
        static_cast<void>(ftruncate(table.fd, 0));
        return 1;
      }
      table.whole = static_cast<off_t>(header.size());
    }
    if (!r.todo.empty()) {
      int rows[2] = {-1, -1};
      int life[2] = {-1, -1};
      if (!make_pipe(rows) || !make_pipe(life)) {
        say("cannot make a pipe: " + error_text(errno));
        return 1;
      }
      // Only this process holds the lifeline's write end: when it ends,
      // even by SIGKILL, the jobs on this machine end themselves.
      fcntl(life[0], F_SETFD, 0);
      setenv(lifeline_env, std::to_string(life[0]).c_str(), 1);
      life_w = life[1];
      sigset_t block;
      sigemptyset(&block);
      for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&block, s);
      sigprocmask(SIG_BLOCK, &block, nullptr);
      par = start_parallel(opts, r.batch_starts.size(), batch_fd, rows[1]);
      close(rows[1]);
      close(life[0]);
      close(batch_fd);
      if (par < 0)
        return 1;
      collect(r, t, par, rows[0], &life_w);
      close(rows[0]);
    }
  }
  int pstatus = 0;
  if (par > 0)
    pstatus = wait_child(par);
  if (life_w >= 0)
    close(life_w);

  if (!r.write_error.empty()) {
    say(r.write_error);
    if (t != nullptr)
      say(shown(t->name) + " keeps the rows written before; run again to go "
                           "on");
    return 1;
  }
  if (t == nullptr) {
    // Rows held behind a batch that never gave its account.
    for (std::size_t i = r.next; i < r.todo.size(); i++)
      r.state[i] = settled;
    advance(r);
    if (!r.write_error.empty()) {
      say(r.write_error);
      return 1;
    }
  }
  bool interrupted = stop_signal != 0;
  if (stop_signal != 0) {
    say(std::string("stopped by ") + signal_name(stop_signal));
  } else if (par > 0) {
    // 1 to 101 count failed jobs, which name their files; more is
    // parallel's own failure.
    const bool parallel_failed =
        WIFSIGNALED(pstatus) || WEXITSTATUS(pstatus) > 101;
    if (parallel_failed) {
      say("parallel " + status_text(pstatus));
      interrupted = true;
    }
    if (r.damaged != 0) {
      say(std::to_string(r.damaged) +
          " lines of the jobs' output came damaged (a job cut off?) and were "
          "left out of the table; run again for their files");
      interrupted = true;
    }
    if (r.accounted < r.todo.size()) {
      say(std::to_string(r.todo.size() - r.accounted) + " of " +
          std::to_string(r.todo.size()) +
          " files were neither analysed nor reported: " +
          // parallel names its own failure (a full TMPDIR, where it keeps
          // the jobs' output); only a remote machine can lack this program.
          (parallel_failed ? std::string("parallel failed")
                           : std::string("their jobs did not run or were cut "
                                         "off")) +
          (opts.logins.empty() ? ""
                               : " (is bandsway-batch on each machine's "
                                 "PATH?)"));
      interrupted = true;
    }
    interrupted = interrupted || r.wrong_version;
  }
  if (interrupted) {
    if (t != nullptr)
      say(shown(t->name) + " keeps the finished rows; run the same command "
                           "again to go on");
    return stop_signal != 0 ? 128 + stop_signal : 1;
  }
  if (t != nullptr) {
    // Every file has been through: leave FILE in sorted order, as one
    // uninterrupted run writes it, replacing it only once the copy is
    // whole.
    const int rfd = fcntl(t->fd, F_DUPFD_CLOEXEC, 0);
    FILE *f = rfd < 0 ? nullptr : fdopen(rfd, "r");
    if (f == nullptr || std::fseek(f, 0, SEEK_SET) != 0) {
      say("cannot read " + shown(t->name) + " back: " + error_text(errno));
      return 1;
    }
    table_scan scan = read_table(f);
    std::fclose(f);
    if (!rows_sorted(scan.rows)) {
      std::stable_sort(scan.rows.begin(), scan.rows.end(),
                       [](const table_row &a, const table_row &b) {
                         return a.path < b.path;
                       });
      const std::string why = rewrite_table(t->name, t->fd, scan.rows);
      if (!why.empty()) {
        say("cannot rewrite " + shown(t->name) + " in sorted order: " + why +
            "; its rows are whole, in the order they finished");
        return 1;
      }
    }
  }
  return found.failed || r.failed != 0 ? 1 : 0;
}
