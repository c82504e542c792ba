// The lengths, in frames at their rate, that the exact formats state in
// their headers, which their decoders must meet to the frame: FLAC's
// STREAMINFO, WAV's fmt and data chunks, AIFF's COMM chunk and WavPack's
// block header. A length a writer could not know (it wrote to a pipe) is
// marked in ways of its own, and taken for no length.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "batch.hpp"

namespace {

// Sample rates below or above these are damage, not audio.
constexpr double min_rate = 1;
constexpr double max_rate = 1e6;

// What sox writes as a WAV data size when it cannot seek back, rounded down
// to whole blocks, and as an AIFF's bytes of sample frames.
constexpr std::uint64_t sox_wav_unknown = 0x7ffff000;
constexpr std::uint64_t sox_aiff_unknown = 0x7f000000;
constexpr std::uint64_t all_ones32 = 0xffffffff;

stated_length length_of(std::uint64_t frames, double rate) {
  if (!(rate >= min_rate && rate <= max_rate))
    return {};
  return {frames, rate};
}

// The value of an 80-bit IEEE extended float, or 0 for a negative, zero,
// infinite or not-a-number one.
double extended_at(std::string_view b, std::uint64_t at) {
  const std::uint64_t sign_exp = be_at(b, at, 2);
  const std::uint64_t mantissa = be_at(b, at + 2, 8);
  const int exp = static_cast<int>(sign_exp & 0x7fff);
  if ((sign_exp & 0x8000) || exp == 0 || exp == 0x7fff || mantissa == 0)
    return 0;
  return std::ldexp(static_cast<double>(mantissa), exp - 16383 - 63);
}

// Whether an AIFC compression type stores one frame per sample frame, so
// that numSampleFrames is the length (ima4 counts packets of 64).
bool aifc_frame_exact(std::string_view type) {
  constexpr std::string_view exact[] = {"NONE", "none", "sowt", "twos", "raw ",
                                        "in24", "in32", "fl32", "FL32", "fl64",
                                        "FL64", "alaw", "ALAW", "ulaw", "ULAW"};
  return std::any_of(std::begin(exact), std::end(exact),
                     [type](std::string_view t) { return t == type; });
}

} // namespace

stated_length flac_length(std::string_view stream) {
  // STREAMINFO is always the first metadata block: 34 bytes after a 4-byte
  // block header. Its rate is 20 bits and its total samples 36 bits, where
  // 0 means that the encoder did not know.
  constexpr std::uint64_t info = 8;
  if (stream.size() < info + 34 || (stream[4] & 0x7f) != 0)
    return {};
  const std::uint64_t packed = be_at(stream, info + 10, 8);
  const std::uint64_t rate = packed >> 44;
  const std::uint64_t total = packed & 0xfffffffffULL;
  if (total == 0)
    return {};
  return length_of(total, static_cast<double>(rate));
}

stated_length wav_length(std::string_view head) {
  // ffmpeg, writing to a pipe, leaves both sizes all ones.
  const bool rf64 = !text_at(head, 0, "RIFF");
  if (!rf64 && le_at(head, 4, 4) == all_ones32)
    return {};
  std::uint64_t ds64_data = all_ones32;
  std::uint64_t format = 0, rate = 0, block = 0;
  bool have_fmt = false;
  for (std::uint64_t at = 12; at + 8 <= head.size();) {
    const std::uint64_t size = le_at(head, at + 4, 4);
    const std::uint64_t body = at + 8;
    if (text_at(head, at, "ds64") && size >= 16) {
      // RF64 keeps the real data size here, 64 bits, after the RIFF size.
      ds64_data = le_at(head, body + 8, 8);
    } else if (text_at(head, at, "fmt ") && size >= 16 &&
               body + 16 <= head.size()) {
      format = le_at(head, body, 2);
      rate = le_at(head, body + 4, 4);
      block = le_at(head, body + 12, 2);
      // WAVE_FORMAT_EXTENSIBLE names the real format in its sub-format.
      if (format == 0xfffe)
        format = size >= 40 ? le_at(head, body + 24, 2) : 0;
      have_fmt = true;
    } else if (text_at(head, at, "data")) {
      // A data chunk before fmt is rare; its length then stays unknown.
      if (!have_fmt || block == 0)
        return {};
      std::uint64_t bytes = size;
      if (rf64 && size == all_ones32)
        bytes = ds64_data;
      if (bytes == all_ones32 ||
          bytes == sox_wav_unknown - sox_wav_unknown % block)
        return {};
      // PCM, IEEE float, A-law and mu-law: a block is one sample frame.
      if (format != 1 && format != 3 && format != 6 && format != 7)
        return {};
      return length_of(bytes / block, static_cast<double>(rate));
    }
    at = body + size + (size & 1);
  }
  return {};
}

stated_length aiff_length(std::string_view head) {
  const bool aifc = text_at(head, 8, "AIFC");
  for (std::uint64_t at = 12; at + 8 <= head.size();) {
    const std::uint64_t size = be_at(head, at + 4, 4);
    const std::uint64_t body = at + 8;
    if (text_at(head, at, "COMM")) {
      if (size < 18 || body + 18 > head.size())
        return {};
      const std::uint64_t channels = be_at(head, body, 2);
      const std::uint64_t frames = be_at(head, body + 2, 4);
      const std::uint64_t sample_bytes = (be_at(head, body + 6, 2) + 7) / 8;
      if (aifc && (size < 22 || body + 22 > head.size() ||
                   !aifc_frame_exact(head.substr(body + 18, 4))))
        return {};
      // sox, writing to a pipe, states a size it cannot know; ffmpeg states 0.
      const std::uint64_t frame_size = channels * sample_bytes;
      if (frames == 0 ||
          (frame_size > 0 && frames == sox_aiff_unknown / frame_size))
        return {};
      return length_of(frames, extended_at(head, body + 8));
    }
    at = body + size + (size & 1);
  }
  return {};
}

stated_length wavpack_length(std::string_view stream) {
  // The 32-byte block header: total samples at 12, and since WavPack 5 its
  // high byte at 11, written so that the low 32 bits are never all ones
  // (all ones: unknown). Bits 23-26 of the flags at 24 index the rate; 15 is
  // a rate stored elsewhere. DSD audio (bit 31) counts other samples.
  constexpr double rates[] = {6000,  8000,  9600,  11025, 12000,
                              16000, 22050, 24000, 32000, 44100,
                              48000, 64000, 88200, 96000, 192000};
  if (stream.size() < 32)
    return {};
  const std::uint64_t low = le_at(stream, 12, 4);
  const std::uint64_t high = le_at(stream, 11, 1);
  const std::uint64_t flags = le_at(stream, 24, 4);
  const std::uint64_t rate_index = (flags >> 23) & 0xf;
  if (low == all_ones32 || (flags & 0x80000000U) || rate_index == 15)
    return {};
  const std::uint64_t total = low + (high << 32) - high;
  // A writer to a pipe leaves 0.
  if (total == 0)
    return {};
  return length_of(total, rates[rate_index]);
}
