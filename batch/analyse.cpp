// One file from decoder to row: the decoder chosen, its run judged, the
// length checked, the row made.
#include <algorithm>
#include <cerrno>

#include <sys/wait.h>

#include "batch.hpp"

namespace {

// The size of sox's writes: the relay wakes for each, and a pipe holds
// 64 KiB, so larger writes than sox's 8 KiB spare it most of its wake-ups.
constexpr const char *sox_buffer = "131072";

bool has(const std::string &text, std::string_view what) {
  return text.find(what) != std::string::npos;
}

// What sox says of a file whose ending it has no handler for.
constexpr std::string_view sox_refusal = "no handler for file extension";

// Whether sox decodes path here, as far as the job knows: it is on the
// PATH and has not refused the ending; a file without an ending, or one
// sox refused, goes to ffmpeg when there is one.
bool sox_for(const std::string &ext, const job_context &job) {
  if (!job.have_ffmpeg)
    return true;
  return job.have_sox && !ext.empty() &&
         std::find(job.sox_refused.begin(), job.sox_refused.end(), ext) ==
             job.sox_refused.end();
}

// The decoder's command for path.
std::vector<std::string> decoder_for(const std::string &path, bool sox) {
  if (sox)
    // -D: sox dithers with random noise when it reduces a 24-bit or float
    // file to 16 bits, and the same file would give other values on every
    // run. --no-glob: sox would read "take[1].wav" as take1.wav.
    return {"sox",
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
  return {"ffmpeg",       "-nostdin",      "-hide_banner",
          "-v",           "level+warning", "-i",
          "file:" + path, "-vn",           "-f",
          "s16le",        "-ac",           "2",
          "-ar",          "44100",         "-"};
}

// Runs the decoder and bandsway on path; when sox has no handler for its
// ending, once more with ffmpeg, and the job remembers the ending. Asking
// sox for its formats instead (sox -h) costs some 40 ms of processor per
// job.
run_state decode(const std::string &path, job_context &job,
                 std::string *decoder_name) {
  const std::string ext = extension_of(path);
  bool sox = sox_for(ext, job);
  for (;;) {
    const std::vector<std::string> decoder = decoder_for(path, sox);
    *decoder_name = decoder.front();
    run_state st;
    decode_and_analyse(st, decoder, job);
    st.decoder_status = st.decoder > 0 ? wait_child(st.decoder) : 0;
    st.bandsway_status = st.bandsway > 0 ? wait_child(st.bandsway) : 0;
    if (st.stopped || !sox || !job.have_ffmpeg ||
        !has(st.decoder_msgs, sox_refusal))
      return st;
    job.sox_refused.push_back(ext);
    sox = false;
  }
}

// The lines of a child's messages about path, each made safe for a
// terminal; the path is shown as the table writes it, so that a newline
// in it does not break the message.
std::vector<std::string> message_lines(std::string text,
                                       const std::string &path) {
  if (path.find_first_of("\t\n") != std::string::npos) {
    const std::string escaped = escape_path(path);
    for (std::size_t at = text.find(path); at != std::string::npos;
         at = text.find(path, at + escaped.size()))
      text.replace(at, path.size(), escaped);
  }
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

// A decoder message that reports damage, not a mere warning.
bool is_decoder_error(const std::string &line, bool unknown_wav_size) {
  if (has(line, "Premature EOF"))
    return !unknown_wav_size;
  return has(line, "sox FAIL") || has(line, "[error]") ||
         has(line, "[fatal]") || has(line, "[panic]");
}

// Why the decoder or bandsway could not be started, or "".
std::string start_fault(const run_state &st, const std::string &decoder,
                        const std::string &host) {
  if (st.decoder_spawn_errno == 0 && st.bandsway_spawn_errno == 0)
    return "";
  const int err = st.decoder_spawn_errno != 0 ? st.decoder_spawn_errno
                                              : st.bandsway_spawn_errno;
  if (err == ENOENT)
    return "bandsway (or sox, ffmpeg, spline) was not found on " + host;
  return "cannot start " +
         (st.decoder_spawn_errno != 0 ? decoder : std::string("bandsway")) +
         ": " + error_text(err);
}

// Why the decoder's run shows damage, or ""; its warnings are passed on.
std::string decoder_fault(const run_state &st, int dec_status, bool bsw_ok,
                          const std::string &bsw_reason,
                          const std::string &decoder, const file_facts &facts,
                          const std::string &name, const std::string &path) {
  const bool unknown_wav_size =
      facts.kind == media_kind::wav && facts.stated.rate == 0;
  std::vector<std::string> lines = message_lines(st.decoder_msgs, path);
  // A decoder cut off past the cap ends by a broken pipe, and says so.
  if (st.capped)
    lines.erase(std::remove_if(
                    lines.begin(), lines.end(),
                    [](const std::string &l) { return has(l, "Broken pipe"); }),
                lines.end());
  bool failed =
      !st.capped && (!WIFEXITED(dec_status) || WEXITSTATUS(dec_status) != 0);
  for (const std::string &l : lines)
    failed = failed || is_decoder_error(l, unknown_wav_size);
  if (failed) {
    if (!bsw_ok && WIFSIGNALED(dec_status) && WTERMSIG(dec_status) == SIGPIPE)
      return bsw_reason; // the decoder died for bandsway's end
    if (lines.empty())
      return "cannot decode: " + decoder + " " + status_text(dec_status);
    return "cannot decode: " + joined(lines);
  }
  // A streamed WAV's unknown size is no news.
  for (const std::string &l : lines)
    if (!has(l, "Premature EOF"))
      say_about(name, l);
  return "";
}

// The row of a file: its name, chunk count and bandsway's values.
std::string make_row(const std::string &name, const run_state &st) {
  const long long chunks =
      std::min<long long>(st.bytes / chunk_bytes, max_chunks);
  std::string row = name + "\t" + std::to_string(chunks) + "\t" + st.values;
  std::replace(row.end() - static_cast<std::ptrdiff_t>(st.values.size()),
               row.end() - 1, '\n', '\t');
  return row;
}

} // namespace

file_outcome analyse(const std::string &name, const std::string &path,
                     job_context &job) {
  file_outcome o;
  std::string decoder;
  const run_state st = decode(path, job, &decoder);
  const int dec_status = st.decoder_status;
  const int bsw_status = st.bandsway_status;
  if (st.stopped) {
    o.stopped = true;
    return o;
  }
  o.reason = start_fault(st, decoder, job.host);
  if (!o.reason.empty())
    return o;
  const bool bsw_ok = WIFEXITED(bsw_status) && WEXITSTATUS(bsw_status) == 0;
  const std::vector<std::string> bsw_lines =
      message_lines(st.bandsway_msgs, "");
  if (!bsw_ok && has(st.bandsway_msgs, "status 127")) {
    o.reason = "bandsway (or sox, ffmpeg, spline) was not found on " + job.host;
    return o;
  }
  const std::string bsw_reason = bsw_lines.empty()
                                     ? "bandsway " + status_text(bsw_status)
                                     : joined(bsw_lines);
  const file_facts facts = read_file_facts(path);
  o.reason = decoder_fault(st, dec_status, bsw_ok, bsw_reason, decoder, facts,
                           name, path);
  if (!o.reason.empty())
    return o;
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
  // Past the cap the decoded length is not known: it is the cap's.
  o.reason = st.capped ? "" : judge_length(facts, st.bytes);
  if (o.reason.empty())
    o.row = make_row(name, st);
  return o;
}
