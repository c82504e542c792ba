// The whole-file checks on crafted bytes: one table per format family, each
// row a file, the bytes it decoded to and the verdict.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "batch.hpp"
#include "helpers.hpp"

namespace {

struct row {
  const char *name;
  std::string file;
  double decoded_seconds;
  media_kind kind;
  const char *want;
};

std::string le(std::uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; i++)
    s += static_cast<char>(v >> (8 * i) & 0xff);
  return s;
}

std::string be(std::uint64_t v, int n) {
  std::string s;
  for (int i = n - 1; i >= 0; i--)
    s += static_cast<char>(v >> (8 * i) & 0xff);
  return s;
}

// Whole frames of 4 bytes, as the decoders write them.
long long pcm_bytes(double seconds) {
  return 4 * std::llround(seconds * 44100);
}

// n frames at 44.1 kHz, as a row's decoded seconds.
double frames(long long n) { return static_cast<double>(n) / 44100; }

// The file's facts as the program judges them, read from a string.
file_facts facts_of(const std::string &file) {
  return facts_from_file(
      [&file](std::uint64_t at, std::uint64_t n, std::string *out) {
        *out = at < file.size() ? file.substr(at, n) : std::string();
        return true;
      },
      file.size());
}

void check_rows(const std::vector<row> &rows) {
  for (const row &r : rows) {
    const file_facts f = facts_of(r.file);
    EXPECT_EQ(f.kind, r.kind) << r.name;
    EXPECT_EQ(judge_length(f, pcm_bytes(r.decoded_seconds)), r.want) << r.name;
  }
}

// Ogg: a page with its flags (2 begins the stream, 4 ends it) and a body.
std::string ogg_page(int flags, const std::string &body) {
  std::string lacing(body.size() / 255, '\xff');
  lacing += static_cast<char>(body.size() % 255);
  return "OggS" + std::string(1, '\0') + static_cast<char>(flags) +
         std::string(20, '\1') + static_cast<char>(lacing.size()) + lacing +
         body;
}

const std::string ogg_cut_at_page =
    ogg_page(2, std::string(100, 'x')) + ogg_page(0, std::string(3000, 'x'));
const std::string ogg_whole =
    ogg_cut_at_page + ogg_page(4, std::string(500, 'x'));
const std::string id3v1 = "TAG" + std::string(125, ' ');

TEST(WholeFile, Ogg) {
  std::string big = ogg_page(2, std::string(100, 'x'));
  for (int i = 0; i < 4; i++)
    big += ogg_page(i == 3 ? 4 : 0, std::string(60000, 'x'));
  // "OggS" in the last packet's data, 30 bytes before the end, is no page.
  const std::string fake_page = "OggS" + std::string(1, '\0') + "\4" +
                                std::string(20, '\0') + "\1" +
                                std::string(3, '\0');
  const std::string fake_in_last =
      ogg_cut_at_page + ogg_page(4, std::string(470, 'x') + fake_page);
  const char *not_whole = "cut short: it does not end with a whole Ogg page";
  const char *not_ended =
      "cut short: its last Ogg page does not end the stream";
  check_rows({
      {"whole", ogg_whole, 1, media_kind::ogg, ""},
      {"cut in a page", ogg_whole.substr(0, ogg_whole.size() - 100), 1,
       media_kind::ogg, not_whole},
      {"cut at a page", ogg_cut_at_page, 1, media_kind::ogg, not_ended},
      {"whole, ID3v1 tag", ogg_whole + id3v1, 1, media_kind::ogg, ""},
      {"cut at a page, ID3v1 tag", ogg_cut_at_page + id3v1, 1, media_kind::ogg,
       not_ended},
      {"whole, longer than the tail", big, 1, media_kind::ogg, ""},
      {"whole, OggS in the last packet", fake_in_last, 1, media_kind::ogg, ""},
      {"cut in a page after an OggS in a packet",
       fake_in_last.substr(0, fake_in_last.size() - 1), 1, media_kind::ogg,
       not_whole},
  });
}

// MP3: a frame with its 4 header bytes, a Xing, Info or VBRI header (or
// none) at its place, then frames without, 417 bytes each.
std::string mp3(const std::string &header, std::size_t side,
                const std::string &tag, int frames) {
  std::string first = header + std::string(side, '\0') + tag;
  first.resize(417, '\0');
  std::string out = first;
  for (int i = 1; i < frames; i++)
    out += header + std::string(413, '\0');
  return out;
}

std::string xing(const char *id, std::uint32_t flags, std::uint32_t frames) {
  return id + be(flags, 4) + be(frames, 4);
}

// A Xing or Info header with its frame count and the fields that `flags`
// adds (bytes, a table, a quality), then a LAME tag of an encoder, whose
// delay and padding lie 21 bytes after its start.
std::string lame(const char *id, std::uint32_t flags, std::uint32_t frames,
                 const char *encoder, int delay, int padding) {
  std::string tag = encoder;
  tag.resize(21, '\0');
  const std::size_t fields =
      ((flags & 2) ? 4 : 0) + ((flags & 4) ? 100 : 0) + ((flags & 8) ? 4 : 0);
  return xing(id, flags, frames) + std::string(fields, '\1') + tag +
         be(static_cast<std::uint64_t>(delay) << 12 | padding, 3);
}

std::string id3v2(std::size_t size, bool footer) {
  std::string t("ID3\4\0", 5);
  t += footer ? '\x10' : '\0';
  for (int shift = 21; shift >= 0; shift -= 7)
    t += static_cast<char>(size >> shift & 0x7f);
  return t + std::string(size, 'i') + (footer ? "3DI" + std::string(7, 0) : "");
}

TEST(WholeFile, Mp3) {
  const std::string mpeg1 = "\xff\xfb\x90";
  const std::string stereo = mpeg1 + '\0', mono = mpeg1 + '\xc0';
  const std::string with_xing = mp3(stereo, 32, xing("Xing", 15, 192), 20);
  const std::string vbri =
      mp3(stereo, 32, "VBRI" + std::string(10, '\0') + be(192, 4), 20);
  // MPEG-2 layer III at 22,050 Hz, mono: 576 samples a frame.
  const std::string mpeg2 =
      mp3(std::string("\xff\xf3\x80\xc0", 4), 9, xing("Xing", 1, 192), 20);
  // Sync-like bytes that are no frame: a bad bitrate, a reserved layer.
  const std::string junk = "\xff\xff\xf0\x00\xff\xe1\x90\x00";
  // As ffmpeg writes them (measured): 193 frames at 44.1 kHz, delay 576,
  // padding 1260: ffmpeg decodes the 220,500 frames between, sox 222,308.
  const std::string lavc =
      mp3(stereo, 32, lame("Info", 15, 193, "Lavc59.37", 576, 1260), 20);
  // MPEG-2 at 22,050 Hz, 194 frames of 576, padding 918: in 44.1 kHz
  // frames, ffmpeg 220,500 and sox 223,454 of 223,488.
  const std::string lame2 =
      mp3(std::string("\xff\xf3\x80\x00", 4), 17,
          lame("Xing", 1, 194, "LAME3.100", 576, 918), 20);
  const char *cut = "cut short: it decodes to 2.0 s of the 5.0 s its header "
                    "gives";
  check_rows({
      {"Xing, whole", with_xing, 5.0, media_kind::mp3, ""},
      {"Xing, short by its padding, 2304", with_xing, frames(221184 - 2305),
       media_kind::mp3, ""},
      {"Xing, short by a frame more than its padding", with_xing,
       frames(221184 - 2306), media_kind::mp3,
       "cut short: it decodes to 218878 of the 221184 frames (at 44.1 kHz) "
       "its header gives"},
      {"Lavc tag, as ffmpeg decodes it", lavc, frames(220500), media_kind::mp3,
       ""},
      {"Lavc tag, as sox decodes it", lavc, frames(222308), media_kind::mp3,
       ""},
      {"Lavc tag, short of its delay and padding", lavc, frames(220498),
       media_kind::mp3,
       "cut short: it decodes to 220498 of the 222336 frames (at 44.1 kHz) "
       "its header gives"},
      {"Lavc tag and ID3v1, as sox decodes it", lavc, frames(222336 + 1149),
       media_kind::mp3, ""},
      {"Lavc tag, longer by more than a frame", lavc, frames(222336 + 1152 + 2),
       media_kind::mp3,
       "it decodes to 223490 frames, more than the 222336 (at 44.1 kHz) its "
       "header gives"},
      {"LAME tag after a count alone, 22,050 Hz, as ffmpeg decodes it", lame2,
       frames(220500), media_kind::mp3, ""},
      {"LAME tag after a count alone, 22,050 Hz, as sox decodes it", lame2,
       frames(223454), media_kind::mp3, ""},
      {"LAME tag after a count alone, 22,050 Hz, short", lame2, frames(220498),
       media_kind::mp3,
       "cut short: it decodes to 220498 of the 223488 frames (at 44.1 kHz) "
       "its header gives"},
      {"Xing, short by more than its padding", with_xing, 4.8, media_kind::mp3,
       "cut short: it decodes to 4.8 s of the 5.0 s its header gives"},
      {"Xing, cut", with_xing, 2.0, media_kind::mp3, cut},
      {"Xing, 8 s short of 1000 s", mp3(stereo, 32, xing("Xing", 1, 38281), 2),
       992, media_kind::mp3,
       "cut short: it decodes to 992.0 s of the 1000.0 s its header gives"},
      {"Info, mono, cut", mp3(mono, 17, xing("Info", 1, 192), 20), 2.0,
       media_kind::mp3, cut},
      {"Xing without a frame count", mp3(stereo, 32, xing("Xing", 14, 192), 20),
       2.0, media_kind::mp3, ""},
      {"no Xing frame: a cut cannot be seen", mp3(stereo, 32, "", 20), 2.0,
       media_kind::mp3, ""},
      {"VBRI, cut", vbri, 2.0, media_kind::mp3, cut},
      {"MPEG-2 mono, cut", mpeg2, 2.0, media_kind::mp3, cut},
      {"ID3v2 tag, cut", id3v2(300, false) + with_xing, 2.0, media_kind::mp3,
       cut},
      {"ID3v2 tag, junk, cut", id3v2(20, false) + junk + with_xing, 2.0,
       media_kind::mp3, cut},
      {"junk first, no tag", junk + with_xing, 2.0, media_kind::unknown, ""},
  });
}

// FLAC: STREAMINFO (the last metadata block) with its rate and total
// samples, then some frame bytes.
std::string flac(std::uint64_t rate, std::uint64_t total) {
  const std::uint64_t packed = rate << 44 | 1ULL << 41 | 15ULL << 36 | total;
  return "fLaC\x80" + be(34, 3) + be(4096, 2) + be(4096, 2) + be(0, 6) +
         be(packed, 8) + std::string(16, 'm') + std::string(500, 'f');
}

const std::string flac_3s = flac(44100, 132300);

TEST(WholeFile, Flac) {
  check_rows({
      {"whole", flac_3s, 3.0, media_kind::flac, ""},
      {"short by 0.04 s", flac_3s, 2.96, media_kind::flac,
       "cut short: it decodes to 130536 of the 132300 frames (at 44.1 kHz) its "
       "header gives"},
      {"0.8 s short of 1000 s", flac(44100, 44100000), 999.2, media_kind::flac,
       "cut short: it decodes to 999.2 s of the 1000.0 s its header gives"},
      {"cut at a frame", flac_3s, 2.5, media_kind::flac,
       "cut short: it decodes to 2.5 s of the 3.0 s its header gives"},
      {"total samples unknown", flac(44100, 0), 1.0, media_kind::flac, ""},
      {"36-bit total at 96 kHz, cut", flac(96000, (1ULL << 32) + 5), 40000,
       media_kind::flac,
       "cut short: it decodes to 40000.0 s of the 44739.2 s its header gives"},
      {"behind an ID3v2 tag with a footer, cut", id3v2(40, true) + flac_3s, 2.5,
       media_kind::flac,
       "cut short: it decodes to 2.5 s of the 3.0 s its header gives"},
  });
}

// WAV: a RIFF (or RF64) file of chunks; the fmt chunk of a format, channels,
// rate and bits.
std::string chunk(const char *id, const std::string &body,
                  std::uint64_t size = ~0ULL) {
  const std::uint64_t n = size == ~0ULL ? body.size() : size;
  return id + le(n, 4) + body + std::string(body.size() % 2, '\0');
}

std::string fmt(int format, int channels, int bits, const std::string &ext = "",
                int rate = 44100) {
  const int block = channels * bits / 8;
  return chunk("fmt ", le(format, 2) + le(channels, 2) + le(rate, 4) +
                           le(rate * block, 4) + le(block, 2) + le(bits, 2) +
                           ext);
}

std::string wav(const std::string &chunks, std::uint64_t riff_size = 1000,
                const char *riff = "RIFF") {
  return riff + le(riff_size, 4) + "WAVE" + chunks;
}

std::string data(std::uint64_t size, std::size_t have) {
  return "data" + le(size, 4) + std::string(have, '\x11');
}

TEST(WholeFile, Wav) {
  const std::string pcm = fmt(1, 2, 16);
  const std::string extensible =
      fmt(0xfffe, 2, 16,
          le(22, 2) + le(16, 2) + le(3, 4) + le(1, 2) + std::string(14, 's'));
  const std::string ds64 =
      chunk("ds64", le(1000, 8) + le(176400, 8) + le(44100, 8) + le(0, 4));
  const char *cut = "cut short: it decodes to 0.4 s of the 1.0 s its header "
                    "gives";
  // 123,457 frames at 48 kHz are 113,426.1 at 44.1 kHz: sox decodes 113,426
  // and ffmpeg 113,427 (measured).
  const std::string wav48 = wav(fmt(1, 2, 16, "", 48000) + data(493828, 100));
  // The furthest measured: 99,991 frames at 64 kHz, 68,900.05 at 44.1 kHz,
  // which ffmpeg decodes to 68,901.
  const std::string wav64 = wav(fmt(1, 2, 16, "", 64000) + data(399964, 100));
  check_rows({
      {"whole", wav(pcm + data(176400, 176400)), 1.0, media_kind::wav, ""},
      {"48 kHz, as sox decodes it", wav48, frames(113426), media_kind::wav, ""},
      {"48 kHz, as ffmpeg decodes it", wav48, frames(113427), media_kind::wav,
       ""},
      {"64 kHz, as ffmpeg decodes it", wav64, frames(68901), media_kind::wav,
       ""},
      {"48 kHz, short of the rounding", wav48, frames(113425), media_kind::wav,
       "cut short: it decodes to 113425 of the 113426 frames (at 44.1 kHz) its "
       "header gives"},
      {"48 kHz, longer than the rounding", wav48, frames(113428),
       media_kind::wav,
       "it decodes to 113428 frames, more than the 113426 (at 44.1 kHz) its "
       "header gives"},
      {"cut", wav(pcm + data(176400, 70560)), 0.4, media_kind::wav, cut},
      {"an odd chunk before data, cut",
       wav(pcm + chunk("LIST", "odd") + data(176400, 70560)), 0.4,
       media_kind::wav, cut},
      {"extensible PCM, cut", wav(extensible + data(176400, 70560)), 0.4,
       media_kind::wav, cut},
      {"RF64, cut",
       wav(ds64 + pcm + data(0xffffffff, 70560), 0xffffffff, "RF64"), 0.4,
       media_kind::wav, cut},
      {"streamed by ffmpeg: all-ones sizes",
       wav(pcm + chunk("LIST", std::string(26, 'l')) + data(0xffffffff, 70560),
           0xffffffff),
       0.4, media_kind::wav, ""},
      {"all-ones RIFF size", wav(pcm + data(176400, 70560), 0xffffffff), 0.4,
       media_kind::wav, ""},
      {"streamed by sox", wav(pcm + data(0x7ffff000, 70560), 0x7ffff024), 0.4,
       media_kind::wav, ""},
      {"streamed by sox, 3 channels of 24 bits",
       wav(fmt(1, 3, 24) + data(0x7fffefff, 70560), 0x7ffff024), 0.4,
       media_kind::wav, ""},
      {"MP3 inside", wav(fmt(0x55, 2, 0) + data(176400, 70560)), 0.4,
       media_kind::wav, ""},
      {"data before fmt", wav(data(176400, 0) + pcm), 0.4, media_kind::wav, ""},
  });
}

// AIFF: a FORM of chunks; COMM with channels, sample frames, bits and the
// rate 44,100 as an 80-bit float, and for AIFC a compression type.
std::string aiff(const char *form, std::uint64_t frames,
                 const std::string &compression = "",
                 const std::string &before = "") {
  const std::string comm = be(2, 2) + be(frames, 4) + be(16, 2) +
                           std::string("\x40\x0e\xac\x44", 4) +
                           std::string(6, '\0') + compression;
  return "FORM" + be(1000, 4) + form + before + "COMM" + be(comm.size(), 4) +
         comm + "SSND" + be(frames * 4 + 8, 4) + std::string(1000, 's');
}

TEST(WholeFile, Aiff) {
  const char *cut = "cut short: it decodes to 0.4 s of the 1.0 s its header "
                    "gives";
  check_rows({
      {"whole", aiff("AIFF", 44100), 1.0, media_kind::aiff, ""},
      {"a frame short, as a cut of one byte decodes", aiff("AIFF", 44100),
       frames(44099), media_kind::aiff,
       "cut short: it decodes to 44099 of the 44100 frames (at 44.1 kHz) its "
       "header gives"},
      {"a frame longer", aiff("AIFF", 44100), frames(44101), media_kind::aiff,
       "it decodes to 44101 frames, more than the 44100 (at 44.1 kHz) its "
       "header gives"},
      {"a second longer", aiff("AIFF", 44100), 2.0, media_kind::aiff,
       "it decodes to 2.0 s, more than the 1.0 s its header gives"},
      {"cut", aiff("AIFF", 44100), 0.4, media_kind::aiff, cut},
      {"an odd chunk first, cut",
       aiff("AIFF", 44100, "", "ANNO" + be(3, 4) + "odd" + '\0'), 0.4,
       media_kind::aiff, cut},
      {"AIFC sowt, cut", aiff("AIFC", 44100, "sowt", ""), 0.4, media_kind::aiff,
       cut},
      {"AIFC ima4 counts packets", aiff("AIFC", 44100, "ima4", ""), 0.4,
       media_kind::aiff, ""},
      {"streamed by ffmpeg: 0 frames", aiff("AIFF", 0), 7.0, media_kind::aiff,
       ""},
      {"streamed by sox", aiff("AIFF", 0x7f000000 / 4), 0.4, media_kind::aiff,
       ""},
  });
}

// WavPack: a block header with its total samples (and their high byte) and
// flags (bits 23-26: the rate's index, 9 for 44.1 kHz).
std::string wavpack(std::uint64_t total, int high = 0,
                    std::uint64_t flags = 9ULL << 23) {
  return "wvpk" + le(5000, 4) + le(0x410, 2) + '\0' + static_cast<char>(high) +
         le(total, 4) + le(0, 4) + le(22050, 4) + le(flags, 4) + le(0, 4) +
         std::string(500, 'w');
}

TEST(WholeFile, WavPack) {
  check_rows({
      {"whole", wavpack(132300), 3.0, media_kind::wavpack, ""},
      {"cut", wavpack(132300), 1.2, media_kind::wavpack,
       "cut short: it decodes to 1.2 s of the 3.0 s its header gives"},
      {"total unknown", wavpack(0xffffffff), 1.2, media_kind::wavpack, ""},
      {"streamed by ffmpeg: total 0", wavpack(0), 1.2, media_kind::wavpack, ""},
      {"a custom rate", wavpack(132300, 0, 15ULL << 23), 1.2,
       media_kind::wavpack, ""},
      {"total with a high byte, cut", wavpack(132300, 1), 3.0,
       media_kind::wavpack,
       "cut short: it decodes to 3.0 s of the 97394.5 s its header gives"},
  });
}

// The bytes choose the checks, not the name; an ID3v2 tag larger than the
// head is read past; a file that cannot be read is not judged.
TEST(WholeFile, ReadsFiles) {
  const std::string dir = make_temp_dir();
  const std::string as_ogg = dir + "/flac.ogg", tagged = dir + "/big.mp3";
  const auto put = [](const std::string &path, const std::string &s) {
    write_file(path, bytes(s.begin(), s.end()));
  };
  put(as_ogg, flac_3s);
  const std::string big =
      id3v2(100000, false) +
      mp3("\xff\xfb\x90" + std::string(1, '\0'), 32, xing("Xing", 1, 192), 500);
  put(tagged, big);
  file_facts f = read_file_facts(as_ogg);
  EXPECT_EQ(f.kind, media_kind::flac);
  EXPECT_EQ(judge_length(f, pcm_bytes(3.0)), "");
  EXPECT_EQ(judge_length(f, pcm_bytes(2.5)),
            "cut short: it decodes to 2.5 s of the 3.0 s its header gives");
  EXPECT_EQ(facts_of(big).kind, media_kind::mp3);
  f = read_file_facts(tagged);
  EXPECT_EQ(f.kind, media_kind::mp3);
  EXPECT_EQ(f.stated.frames, 192U * 1152);
  EXPECT_EQ(f.stated.rate, 44100);
  EXPECT_EQ(read_file_facts(dir + "/missing").kind, media_kind::unknown);
  EXPECT_EQ(read_file_facts(dir).kind, media_kind::unknown);
  std::remove(as_ogg.c_str());
  std::remove(tagged.c_str());
  rmdir(dir.c_str());
}

// Damaged bytes of every family: no read outside the spans (the sanitizer
// build sees any), and a stated length that is -1 or a finite length.
TEST(WholeFile, SurvivesDamagedBytes) {
  const std::vector<std::string> seeds = {
      ogg_whole,
      mp3("\xff\xfb\x90" + std::string(1, '\0'), 32,
          lame("Info", 15, 192, "Lavc59.37", 576, 1260), 3),
      id3v2(30, true) + flac_3s,
      wav(fmt(0xfffe, 2, 16, le(22, 2)) + data(176400, 9)),
      aiff("AIFC", 44100, "sowt"),
      wavpack(132300)};
  std::mt19937 rng(14);
  for (const std::string &seed : seeds) {
    for (int i = 0; i < 1500; i++) {
      std::string s = seed.substr(0, rng() % (seed.size() + 1));
      for (int k = rng() % 8; k > 0 && !s.empty(); k--)
        s[rng() % s.size()] = static_cast<char>(rng() % 3 ? rng() : 0xff);
      const file_facts f = facts_of(s);
      EXPECT_TRUE(f.stated.rate == 0 ||
                  (f.stated.rate > 0 && std::isfinite(f.stated.rate)))
          << f.stated.rate;
      judge_length(f, static_cast<long long>(rng()));
    }
  }
}

} // namespace
