#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "batch.hpp"

namespace {

volatile sig_atomic_t job_signal = 0;

void on_stop_signal(int sig) { job_signal = sig; }

// The most bytes kept of a decoder's or bandsway's messages for one file:
// a damaged file can make a decoder warn without end.
constexpr std::size_t max_message_bytes = 65536;
// What the relay moves at a time from the decoder to bandsway, and the
// size of sox's writes: the relay wakes once per write, so larger writes
// than sox's 8 KiB spare it most of its wake-ups.
constexpr std::size_t relay_bytes = 1U << 20;
constexpr const char *sox_buffer = "131072";

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

// One file's decoder, bandsway, and what came out of them.
struct run_state {
  pid_t decoder = -1;
  pid_t bandsway = -1;
  int decoder_spawn_errno = 0;
  int bandsway_spawn_errno = 0;
  long long bytes = 0;
  std::string decoder_msgs;
  std::string values;
  std::string bandsway_msgs;
  bool stopped = false;
};

void close_fd(int *fd) {
  if (*fd >= 0)
    close(*fd);
  *fd = -1;
}

// Appends what fd has to `to` (up to `cap` bytes kept); closes fd at its
// end.
void drain(int *fd, std::string *to, std::size_t cap) {
  char buf[65536];
  while (*fd >= 0) {
    const ssize_t n = read(*fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == EAGAIN)
      return;
    if (n <= 0) {
      close_fd(fd);
      return;
    }
    const std::size_t keep =
        std::min(static_cast<std::size_t>(n), cap - std::min(cap, to->size()));
    to->append(buf, keep);
  }
}

// Moves what the decoder wrote on to bandsway without copying it (splice);
// returns the bytes moved, 0 at the decoder's end, or -1 with errno.
ssize_t move_on(int from, int to) {
#ifdef __linux__
  return splice(from, nullptr, to, nullptr, relay_bytes,
                SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
#else
  static_cast<void>(from);
  static_cast<void>(to);
  errno = EINVAL;
  return -1;
#endif
}

// Relays the decoder's output to bandsway, counting it, and gathers their
// messages and bandsway's values, until both are done or the job must
// stop. Every descriptor is polled, so neither side can block the other.
void relay(run_state &st, int dec_out, int dec_err, int bsw_in, int bsw_out,
           int bsw_err, int life, std::vector<char> &buf) {
  std::size_t have = 0;
  std::size_t sent = 0;
  bool zero_copy = true;
  bool want_out = false; // bandsway's pipe was full
  for (const int fd : {dec_out, dec_err, bsw_in, bsw_out, bsw_err})
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  while (dec_out >= 0 || dec_err >= 0 || bsw_out >= 0 || bsw_err >= 0) {
    if (dec_out < 0 && sent == have)
      close_fd(&bsw_in);
    pollfd p[6] = {};
    p[0] = {!want_out && sent == have ? dec_out : -1, POLLIN, 0};
    p[1] = {dec_err, POLLIN, 0};
    p[2] = {want_out || sent < have ? bsw_in : -1, POLLOUT, 0};
    p[3] = {bsw_out, POLLIN, 0};
    p[4] = {bsw_err, POLLIN, 0};
    p[5] = {life, POLLIN, 0};
    if (job_signal != 0 || poll(p, 6, -1) < 0) {
      if (job_signal == 0 && errno == EINTR)
        continue;
      st.stopped = true;
      break;
    }
    if (p[5].revents != 0) {
      st.stopped = true; // the driver is gone
      break;
    }
    if (zero_copy && (p[0].revents != 0 || p[2].revents != 0)) {
      const ssize_t n = move_on(dec_out, bsw_in);
      if (n > 0) {
        st.bytes += n;
        want_out = false;
      } else if (n == 0) {
        close_fd(&dec_out);
      } else if (errno == EAGAIN) {
        // Whichever side was ready, the other was not.
        want_out = p[0].revents != 0;
      } else if (errno == EINVAL) {
        zero_copy = false;
        want_out = false;
      } else if (errno != EINTR) {
        // bandsway is gone: the decoder's output has nowhere to go.
        close_fd(&bsw_in);
        close_fd(&dec_out);
      }
    } else if (p[0].revents != 0) {
      const ssize_t n = read(dec_out, buf.data(), buf.size());
      if (n > 0) {
        have = static_cast<std::size_t>(n);
        sent = 0;
        st.bytes += n;
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(&dec_out);
      }
    } else if (p[2].revents != 0) {
      const ssize_t n = write(bsw_in, buf.data() + sent, have - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (errno != EINTR && errno != EAGAIN) {
        close_fd(&bsw_in);
        close_fd(&dec_out);
        have = sent = 0;
      }
    }
    if (p[1].revents != 0)
      drain(&dec_err, &st.decoder_msgs, max_message_bytes);
    if (p[3].revents != 0)
      drain(&bsw_out, &st.values, relay_bytes);
    if (p[4].revents != 0)
      drain(&bsw_err, &st.bandsway_msgs, max_message_bytes);
  }
  for (int *fd : {&dec_out, &dec_err, &bsw_in, &bsw_out, &bsw_err})
    close_fd(fd);
}

// Starts the decoder and bandsway for path and relays between them.
void decode_and_analyse(run_state &st, const std::vector<std::string> &decoder,
                        int life, std::vector<char> &buf) {
  int d_out[2] = {-1, -1};
  int d_err[2] = {-1, -1};
  int b_in[2] = {-1, -1};
  int b_out[2] = {-1, -1};
  int b_err[2] = {-1, -1};
  if (!make_pipe(d_out) || !make_pipe(d_err) || !make_pipe(b_in) ||
      !make_pipe(b_out) || !make_pipe(b_err)) {
    st.decoder_spawn_errno = errno;
  } else {
#ifdef __linux__
    // Room for a whole write of the decoder's (see --buffer), so that the
    // relay wakes once per write; a refusal only costs more wake-ups.
    for (const int fd : {d_out[1], b_in[1]})
      fcntl(fd, F_SETPIPE_SZ, static_cast<int>(relay_bytes));
#endif
    child_spec dec{decoder, -1, d_out[1], d_err[1]};
    st.decoder = spawn_child(dec);
    if (st.decoder < 0)
      st.decoder_spawn_errno = errno;
    child_spec bsw{{"bandsway"}, b_in[0], b_out[1], b_err[1]};
    if (st.decoder > 0) {
      st.bandsway = spawn_child(bsw);
      if (st.bandsway < 0)
        st.bandsway_spawn_errno = errno;
    }
  }
  for (int *fd : {&d_out[1], &d_err[1], &b_in[0], &b_out[1], &b_err[1]})
    close_fd(fd);
  if (st.decoder > 0 && st.bandsway > 0)
    relay(st, d_out[0], d_err[0], b_in[1], b_out[0], b_err[0], life, buf);
  for (int *fd : {&d_out[0], &d_err[0], &b_in[1], &b_out[0], &b_err[0]})
    close_fd(fd);
  if (st.stopped)
    for (const pid_t pid : {st.decoder, st.bandsway})
      if (pid > 0)
        kill(pid, SIGKILL);
}

// The lines of a child's messages, each made safe for a terminal.
std::vector<std::string> message_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos)
      end = text.size();
    if (end > from)
      lines.push_back(shown_name(text.substr(from, end - from)));
    from = end + 1;
  }
  return lines;
}

std::string joined(const std::vector<std::string> &lines) {
  std::string s;
  for (const std::string &l : lines)
    s += (s.empty() ? "" : "; ") + l;
  return s;
}

bool has(const std::string &text, std::string_view what) {
  return text.find(what) != std::string::npos;
}

// A decoder message that reports damage, not a mere warning.
bool is_decoder_error(const std::string &line, bool unknown_wav_size) {
  if (has(line, "Premature EOF"))
    return !unknown_wav_size;
  return has(line, "sox FAIL") || has(line, "MD5 checksum mismatch") ||
         has(line, "[error]") || has(line, "[fatal]") || has(line, "[panic]");
}

// The lower-case ending of path's last part.
std::string extension_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), lower_ascii);
  return ext;
}

// What analysing one file came to: its row, or the reason it has none.
struct file_outcome {
  std::string row;
  std::string reason;
  bool stopped = false;
};

file_outcome analyse(const std::string &name, const std::string &path,
                     const std::string &formats, bool have_ffmpeg,
                     const std::string &host, int life,
                     std::vector<char> &buf) {
  file_outcome o;
  const std::string ext = extension_of(path);
  std::vector<std::string> decoder;
  if (!have_ffmpeg || (!ext.empty() && has(formats, " " + ext + " "))) {
    // -D: sox dithers with random noise when it reduces a 24-bit or float
    // file to 16 bits, and the same file would give other values on every
    // run. --no-glob: sox would read "take[1].wav" as take1.wav.
    decoder = {"sox",
               "--buffer",
               sox_buffer,
               "-D",
               "-q",
               "--no-glob",
               path,
               "-t",
               "raw",
               "-e",
               "signed-integer",
               "-b",
               "16",
               "-c",
               "2",
               "-r",
               "44100",
               "-L",
               "-"};
  } else {
    decoder = {"ffmpeg",       "-nostdin",      "-hide_banner",
               "-v",           "level+warning", "-i",
               "file:" + path, "-vn",           "-f",
               "s16le",        "-ac",           "2",
               "-ar",          "44100",         "-"};
  }
  run_state st;
  decode_and_analyse(st, decoder, life, buf);
  const int dec_status = st.decoder > 0 ? wait_child(st.decoder) : 0;
  const int bsw_status = st.bandsway > 0 ? wait_child(st.bandsway) : 0;
  if (st.stopped) {
    o.stopped = true;
    return o;
  }
  const std::string not_found =
      "bandsway (or sox, ffmpeg, spline) was not found on " + host;
  if (st.decoder_spawn_errno != 0 || st.bandsway_spawn_errno != 0) {
    const int err = st.decoder_spawn_errno != 0 ? st.decoder_spawn_errno
                                                : st.bandsway_spawn_errno;
    o.reason = err == ENOENT
                   ? not_found
                   : "cannot start " +
                         std::string(st.decoder_spawn_errno != 0 ? decoder[0]
                                                                 : "bandsway") +
                         ": " + error_text(err);
    return o;
  }
  const bool bsw_ok = WIFEXITED(bsw_status) && WEXITSTATUS(bsw_status) == 0;
  const std::vector<std::string> bsw_lines = message_lines(st.bandsway_msgs);
  if (!bsw_ok && has(st.bandsway_msgs, "status 127")) {
    o.reason = not_found;
    return o;
  }
  const std::string bsw_reason = bsw_lines.empty()
                                     ? "bandsway " + status_text(bsw_status)
                                     : joined(bsw_lines);

  const file_facts facts = read_file_facts(path);
  const bool unknown_wav_size =
      facts.kind == media_kind::wav && facts.stated_seconds < 0;
  const std::vector<std::string> dec_lines = message_lines(st.decoder_msgs);
  bool dec_failed = !WIFEXITED(dec_status) || WEXITSTATUS(dec_status) != 0;
  for (const std::string &l : dec_lines)
    dec_failed = dec_failed || is_decoder_error(l, unknown_wav_size);
  if (dec_failed) {
    if (!bsw_ok && WIFSIGNALED(dec_status) && WTERMSIG(dec_status) == SIGPIPE)
      o.reason = bsw_reason; // the decoder died for bandsway's end
    else if (dec_lines.empty())
      o.reason = "cannot decode: " + decoder[0] + " " + status_text(dec_status);
    else
      o.reason = "cannot decode: " + joined(dec_lines);
    return o;
  }
  // Warnings are passed on; a streamed WAV's unknown size is no news.
  for (const std::string &l : dec_lines)
    if (!has(l, "Premature EOF"))
      say_about(name, l);
  if (!bsw_ok) {
    o.reason = bsw_reason;
    return o;
  }
  for (const std::string &l : bsw_lines)
    say_about(name, l);
  const auto lines = std::count(st.values.begin(), st.values.end(), '\n');
  if (lines != row_values || st.values.back() != '\n') {
    o.reason = "bandsway printed " + std::to_string(lines) + " values, not " +
               std::to_string(row_values);
    return o;
  }
  o.reason = judge_length(facts, st.bytes);
  if (!o.reason.empty())
    return o;
  const long long chunks =
      std::min<long long>(st.bytes / chunk_bytes, max_chunks);
  o.row = name + "\t" + std::to_string(chunks) + "\t" + st.values;
  std::replace(o.row.end() - static_cast<std::ptrdiff_t>(st.values.size()),
               o.row.end() - 1, '\n', '\t');
  return o;
}

} // namespace

int run_job(const std::string &cwd, const std::string &batch) {
  catch_stop_signals(on_stop_signal);
  const int life = take_lifeline();
  const std::string host = host_name();
  const std::string formats = sox_formats();
  const bool have_ffmpeg = on_path("ffmpeg");

  std::vector<std::string> names;
  for (std::size_t from = 0; from <= batch.size();) {
    std::size_t end = batch.find('\t', from);
    if (end == std::string::npos)
      end = batch.size();
    if (end > from)
      names.push_back(batch.substr(from, end - from));
    from = end + 1;
  }
  std::size_t failed = 0;
  std::vector<char> relay_buf(relay_bytes);
  for (const std::string &name : names) {
    std::string path = unescape_path(name);
    if (path.front() != '/')
      path.insert(0, cwd + "/");
    const file_outcome o =
        analyse(name, path, formats, have_ffmpeg, host, life, relay_buf);
    if (o.stopped)
      return job_signal != 0 ? 128 + job_signal : job_broken;
    if (!o.reason.empty()) {
      say_about(name, o.reason);
      failed++;
    } else if (!write_all(1, o.row)) {
      say_about(name, "cannot write its row: " + error_text(errno));
      return job_broken;
    }
  }
  // The account: every file of the batch has a row or was named above.
  // The driver sums these, so that jobs that never ran, or were cut off
  // before this line, are noticed.
  std::string account(account_mark);
  account += std::to_string(job_protocol) + " " + host + " " +
             std::to_string(names.size()) + " " + std::to_string(failed) +
             "\t" + (names.empty() ? std::string() : names.front()) + "\n";
  if (!write_all(1, account)) {
    say("cannot write the account of a batch: " + error_text(errno));
    return job_broken;
  }
  return failed != 0 ? job_some_failed : 0;
}
