// The checks of the two lossy families whose decoders say nothing of a file
// cut short: Ogg by its last page, MP3 by the frame count of a Xing, Info or
// VBRI header.
#include <algorithm>

#include "batch.hpp"

namespace {

// The part of the tail that Ogg pages were looked for in: at most 128 KiB.
constexpr std::uint64_t ogg_window = 131072;
constexpr std::uint64_t ogg_header_bytes = 27;
constexpr std::uint64_t id3v1_bytes = 128;

// What the decoder's length of an MPEG audio frame depends on.
struct mp3_frame {
  double hz;
  int samples;
  int side;
};

// Fills `fr` from a valid MPEG audio frame header at `at`; false for none
// (no sync, or a reserved version, layer or rate, or a free or bad bitrate).
bool mp3_header_at(std::string_view b, std::uint64_t at, mp3_frame &fr) {
  if (at > b.size() || b.size() - at < 4)
    return false;
  const std::uint64_t h = be_at(b, at, 4);
  // Version 3 is MPEG-1, 2 MPEG-2, 0 MPEG-2.5; layer 3 is I, 1 is III.
  const std::uint64_t ver = h >> 19 & 3, layer = h >> 17 & 3,
                      bitrate = h >> 12 & 15, rate = h >> 10 & 3;
  if (h >> 21 != 0x7ff || ver == 1 || layer == 0 || rate == 3 ||
      bitrate == 15 || bitrate == 0)
    return false;
  constexpr double rates[] = {44100, 48000, 32000};
  fr.hz = rates[rate] / (ver == 3 ? 1 : ver == 2 ? 2 : 4);
  fr.samples = layer == 3 ? 384 : (layer == 1 && ver != 3) ? 576 : 1152;
  const bool mono = (h >> 6 & 3) == 3;
  fr.side = ver == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  return true;
}

} // namespace

std::string ogg_fault(std::string_view tail) {
  // An ID3v1 tag that a tagger appended is not part of the stream.
  if (tail.size() >= id3v1_bytes &&
      text_at(tail, tail.size() - id3v1_bytes, "TAG"))
    tail.remove_suffix(id3v1_bytes);
  const std::string_view buf = tail.substr(
      tail.size() - std::min<std::uint64_t>(tail.size(), ogg_window));
  const std::uint64_t n = buf.size();
  // The last page is the one whose header and segments end exactly at the
  // end; an "OggS" inside a packet's data rarely does.
  for (std::size_t at = buf.rfind("OggS"); at != std::string_view::npos;
       at = at ? buf.rfind("OggS", at - 1) : std::string_view::npos) {
    if (at + ogg_header_bytes > n)
      continue;
    const auto segs = static_cast<unsigned char>(buf[at + 26]);
    if (at + ogg_header_bytes + segs > n)
      continue;
    std::uint64_t end = at + ogg_header_bytes + segs;
    for (unsigned i = 0; i < segs; i++)
      end += static_cast<unsigned char>(buf[at + ogg_header_bytes + i]);
    if (end != n)
      continue;
    if ((static_cast<unsigned char>(buf[at + 5]) & 4) == 0)
      return "its last Ogg page does not end the stream";
    return "";
  }
  return "it does not end with a whole Ogg page";
}

// An MP3 without a Xing, Info or VBRI frame count states no length: cut at a
// frame boundary, it decodes cleanly to a shorter length that nothing in the
// file contradicts, so such a cut cannot be caught.
file_facts mp3_facts(std::string_view stream, bool search) {
  file_facts f;
  const std::string_view buf =
      stream.substr(0, std::min<std::uint64_t>(stream.size(), head_span));
  mp3_frame fr{};
  std::uint64_t o = 0;
  while (!mp3_header_at(buf, o, fr)) {
    if (!search || o + 4 >= buf.size())
      return f;
    o++;
  }
  f.kind = media_kind::mp3;
  // The Xing or Info header follows the side information; VBRI sits at a
  // fixed 32 bytes after the header. Frame counts of 0 say nothing.
  const std::uint64_t x = o + 4 + fr.side;
  std::uint64_t frames = 0;
  // An encoder's delay (LAME: 576, and 529 more in the decoder) and its end
  // padding (under 1152) that a gapless decoder leaves out, when no LAME
  // tag states them.
  f.droppable = 2304;
  f.addable = static_cast<std::uint64_t>(fr.samples);
  if ((text_at(buf, x, "Xing") || text_at(buf, x, "Info")) &&
      x + 8 <= buf.size()) {
    const std::uint64_t flags = be_at(buf, x + 4, 4);
    if (flags & 1)
      frames = be_at(buf, x + 8, 4);
    // The LAME tag (lame's, or ffmpeg's as "Lavc" or "Lavf") follows the
    // fields the flags announce: frames, bytes, a 100-byte table, quality.
    // 21 bytes in, 12 bits of delay and 12 of padding.
    const std::uint64_t tag = x + 8 + ((flags & 1) ? 4 : 0) +
                              ((flags & 2) ? 4 : 0) + ((flags & 4) ? 100 : 0) +
                              ((flags & 8) ? 4 : 0);
    if ((text_at(buf, tag, "LAME") || text_at(buf, tag, "Lavc") ||
         text_at(buf, tag, "Lavf")) &&
        tag + 24 <= buf.size()) {
      const std::uint64_t v = be_at(buf, tag + 21, 3);
      f.droppable = (v >> 12) + (v & 0xfff);
    }
  } else if (text_at(buf, o + 36, "VBRI")) {
    frames = be_at(buf, o + 36 + 14, 4);
  }
  if (frames > 0)
    f.stated = {frames * static_cast<std::uint64_t>(fr.samples), fr.hz};
  return f;
}
