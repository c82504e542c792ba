// The checks of a file's own bytes that tell whether a decoded stream is as
// long as the file says it is. Some decoders say nothing of a file cut short:
// an Ogg file must end with a whole page that ends the stream, and an MP3,
// FLAC, WAV, AIFF or WavPack file that states its length must decode to it.
#ifndef BANDSWAY_BATCH_WHOLE_FILE_HPP
#define BANDSWAY_BATCH_WHOLE_FILE_HPP

#include <cstdint>
#include <string>
#include <string_view>

// What is read of a file: its head, and its tail, which holds the largest Ogg
// page (65,307 bytes) and an ID3v1 tag after it.
constexpr std::uint64_t head_span = 65536;
constexpr std::uint64_t tail_span = 131072 + 128;

enum class media_kind { unknown, ogg, mp3, flac, wav, aiff, wavpack };

// What a file's own bytes say of its length.
struct file_facts {
  media_kind kind = media_kind::unknown; // chosen by magic bytes, never by name
  double stated_seconds = -1; // stated length; -1 when none or unknown
  std::string framing_fault;  // non-empty when the framing alone shows a cut
};

// Judges the head and tail of a file of `size` bytes (head: its first up to
// head_span bytes; tail: its last up to tail_span); pure, for tests.
file_facts facts_from_bytes(std::string_view head, std::string_view tail,
                            std::uint64_t size);
// Reads the head and tail of the file at `path` (and the head_span bytes after
// a leading ID3v2 tag) and judges them; kind unknown when it cannot be read.
file_facts read_file_facts(const std::string &path);
// "" when `decoded_bytes` of 44.1 kHz s16 stereo agree with the facts;
// otherwise the reason, starting "cut short: ".
std::string judge_length(const file_facts &facts, long long decoded_bytes);

// The parts, by format family.

// Where a file's stream starts: past the ID3v2 tag its head starts with (by
// the tag's untrusted size), else 0.
std::uint64_t stream_start(std::string_view head);
// Judges the first up to head_span bytes of a stream and the file's tail;
// `tagged`: the stream follows an ID3v2 tag, so MP3 frames may follow junk.
file_facts facts_from_stream(std::string_view stream, bool tagged,
                             std::string_view tail);
// "" when an Ogg file's tail ends with a whole page that ends the stream,
// otherwise what is wrong with its end.
std::string ogg_fault(std::string_view tail);
// The MP3 facts of a stream whose first valid frame header is at 0 (or, if
// `search`, anywhere in its first head_span bytes); kind unknown if none.
file_facts mp3_facts(std::string_view stream, bool search);
// The length a FLAC stream's STREAMINFO states, or -1.
double flac_seconds(std::string_view stream);
// The length a RIFF, RF64 or BW64 WAVE head's fmt and data chunks state, or -1.
double wav_seconds(std::string_view head);
// The length an AIFF or AIFC head's COMM chunk states, or -1.
double aiff_seconds(std::string_view head);
// The length a WavPack stream's first block header states, or -1.
double wavpack_seconds(std::string_view stream);

// Byte access that never reads outside the span.

// The unsigned n-byte (n <= 8) little-endian number at `at` in b, or 0 when it
// does not lie wholly within b.
std::uint64_t le_at(std::string_view b, std::uint64_t at, int n);
// The unsigned n-byte (n <= 8) big-endian number at `at` in b, or 0 when it
// does not lie wholly within b.
std::uint64_t be_at(std::string_view b, std::uint64_t at, int n);
// Whether the text s lies at `at` in b.
bool text_at(std::string_view b, std::uint64_t at, std::string_view s);

#endif
