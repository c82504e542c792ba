// The whole-file check's entry points: the kind of a file by its magic bytes,
// the reading of its head and tail, and the verdict on a decoded length.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch.hpp"

namespace {

// The decoders write 44.1 kHz signed 16-bit stereo: 4 bytes a frame.
constexpr double decoded_rate = 44100;
constexpr long long decoded_frame_bytes = 4;

} // namespace

std::uint64_t le_at(std::string_view b, std::uint64_t at, int n) {
  if (at > b.size() || static_cast<std::uint64_t>(n) > b.size() - at)
    return 0;
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; i--)
    v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

std::uint64_t be_at(std::string_view b, std::uint64_t at, int n) {
  if (at > b.size() || static_cast<std::uint64_t>(n) > b.size() - at)
    return 0;
  std::uint64_t v = 0;
  for (int i = 0; i < n; i++)
    v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

bool text_at(std::string_view b, std::uint64_t at, std::string_view s) {
  return at <= b.size() && s.size() <= b.size() - at &&
         b.substr(at, s.size()) == s;
}

std::uint64_t stream_start(std::string_view head) {
  if (head.size() < 10 || !text_at(head, 0, "ID3"))
    return 0;
  // The size is syncsafe, 7 bits a byte; a footer (flag 0x10) adds 10 more.
  // A tagger that broke the rule and set the top bits is followed as it is.
  std::uint64_t size = 0;
  for (int i = 6; i < 10; i++)
    size = size << 7 | static_cast<unsigned char>(head[i]);
  return 10 + size + ((static_cast<unsigned char>(head[5]) & 0x10) ? 10 : 0);
}

file_facts facts_from_stream(std::string_view stream, bool tagged,
                             std::string_view tail) {
  file_facts f;
  if (text_at(stream, 0, "OggS")) {
    f.kind = media_kind::ogg;
    f.framing_fault = ogg_fault(tail);
  } else if (text_at(stream, 0, "fLaC")) {
    f.kind = media_kind::flac;
    f.stated = flac_length(stream);
  } else if ((text_at(stream, 0, "RIFF") || text_at(stream, 0, "RF64") ||
              text_at(stream, 0, "BW64")) &&
             text_at(stream, 8, "WAVE")) {
    f.kind = media_kind::wav;
    f.stated = wav_length(stream);
  } else if (text_at(stream, 0, "FORM") &&
             (text_at(stream, 8, "AIFF") || text_at(stream, 8, "AIFC"))) {
    f.kind = media_kind::aiff;
    f.stated = aiff_length(stream);
  } else if (text_at(stream, 0, "wvpk")) {
    f.kind = media_kind::wavpack;
    f.stated = wavpack_length(stream);
  } else {
    f = mp3_facts(stream, tagged);
  }
  return f;
}

file_facts facts_from_file(const span_reader &read, std::uint64_t size) {
  std::string head, stream, tail;
  if (!read(0, head_span, &head))
    return {};
  const std::uint64_t start = stream_start(head);
  const std::uint64_t tail_n = std::min(size, tail_span);
  if ((start > 0 && !read(start, head_span, &stream)) ||
      !read(size - tail_n, tail_n, &tail))
    return {};
  return start == 0 ? facts_from_stream(head, false, tail)
                    : facts_from_stream(stream, true, tail);
}

file_facts read_file_facts(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return {};
  struct stat st {};
  file_facts f;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    f = facts_from_file(
        [fd](std::uint64_t at, std::uint64_t n, std::string *out) {
          return pread_full(fd, at, n, out);
        },
        static_cast<std::uint64_t>(st.st_size));
  close(fd);
  return f;
}

std::string judge_length(const file_facts &facts, long long decoded_bytes) {
  if (!facts.framing_fault.empty())
    return "cut short: " + facts.framing_fault;
  const stated_length &s = facts.stated;
  if (!(s.rate > 0))
    return "";
  // Resampled to 44.1 kHz, the stated frames seldom come to a whole number,
  // and the decoders round the last one down or up (measured: never
  // further). No more leeway than that: a file cut by a single byte decodes
  // to a frame less. An MP3 may lack more, its encoder's delay and padding,
  // which a gapless decoder (ffmpeg) leaves out, or an MPEG frame more: sox
  // decodes an ID3v1 tag after the last frame as most of one.
  const double scale = decoded_rate / s.rate;
  const double full = static_cast<double>(s.frames) * scale;
  const double most = static_cast<double>(s.frames + facts.addable) * scale;
  const double least =
      static_cast<double>(s.frames - std::min(facts.droppable, s.frames)) *
      scale;
  const long long frames = decoded_bytes / decoded_frame_bytes;
  const auto got = static_cast<double>(frames);
  if (facts.kind == media_kind::mp3 ? got >= least - 1 && got <= most + 1
                                    : std::fabs(got - full) < 1)
    return "";
  const bool more = got > full;
  const double got_s = got / decoded_rate, want_s = full / decoded_rate;
  char msg[200];
  // Under 0.1 s apart, the two lengths in seconds would read the same.
  if (std::fabs(got_s - want_s) >= 0.1)
    std::snprintf(msg, sizeof msg,
                  more ? "it decodes to %.1f s, more than the %.1f s its "
                         "header gives"
                       : "cut short: it decodes to %.1f s of the %.1f s its "
                         "header gives",
                  got_s, want_s);
  else
    std::snprintf(msg, sizeof msg,
                  more ? "it decodes to %lld frames, more than the %.0f (at "
                         "44.1 kHz) its header gives"
                       : "cut short: it decodes to %lld of the %.0f frames (at "
                         "44.1 kHz) its header gives",
                  frames, full);
  return msg;
}
