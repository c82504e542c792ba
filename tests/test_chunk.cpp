// Chunk analysis: PCM decoding, band levels, chunk metrics and the chunk
// loop with its fixed series capacity.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "defs.hpp"
#include "helpers.hpp"

namespace {

bytes one_frame_chunk(std::initializer_list<unsigned char> frame) {
  bytes chunk(chunk_bytes, 0);
  std::copy(frame.begin(), frame.end(), chunk.begin());
  return chunk;
}

complex_buf spectrum_with(int bin, double re, double im) {
  complex_buf out(chunk_frames);
  for (auto &c : out)
    c[0] = c[1] = 0.0;
  out[bin][0] = re;
  out[bin][1] = im;
  return out;
}

// Which band picks up energy put into one bin; -1 for none.
int band_of(int bin) {
  const auto out = spectrum_with(bin, 3.0, 4.0);
  band_rms l{-1, -1, -1, -1};
  calc_band_rms(out.data(), &l);
  const double level[4] = {l.sub, l.low, l.mid, l.high};
  int found = -1;
  for (int b = 0; b < 4; b++) {
    if (level[b] != 0.0) {
      EXPECT_EQ(found, -1) << "bin " << bin << " counted in two bands";
      EXPECT_DOUBLE_EQ(level[b], std::sqrt(25.0 / 11025.0));
      found = b;
    }
  }
  return found;
}

struct series_bufs {
  // One entry more than the capacity, as a guard that must stay untouched.
  complex_buf sum, tilt, alt;
  explicit series_bufs(std::size_t entries)
      : sum(entries + 1), tilt(entries + 1), alt(entries + 1) {
    for (auto *s : {&sum, &tilt, &alt})
      for (auto &c : *s)
        c[0] = c[1] = -7.0;
  }
  bool guard_intact(std::size_t entries) const {
    for (const auto *s : {&sum, &tilt, &alt})
      if ((*s)[entries][0] != -7.0 || (*s)[entries][1] != -7.0)
        return false;
    return true;
  }
};

} // namespace

TEST(PcmToComplex, SumsTheTwoLittleEndianChannels) {
  complex_buf in(chunk_frames);
  for (auto &c : in)
    c[0] = c[1] = 99.0;

  pcm_to_complex(one_frame_chunk({0x01, 0x02, 0x03, 0x04}).data(), in.data());
  EXPECT_EQ(in[0][0], 0x0201 + 0x0403);
  EXPECT_EQ(in[1][0], 0.0);
  for (const auto &c : in)
    ASSERT_EQ(c[1], 0.0);

  pcm_to_complex(one_frame_chunk({0x00, 0x80, 0x00, 0x80}).data(), in.data());
  EXPECT_EQ(in[0][0], -65536.0);
  pcm_to_complex(one_frame_chunk({0xff, 0x7f, 0xff, 0x7f}).data(), in.data());
  EXPECT_EQ(in[0][0], 65534.0);
  pcm_to_complex(one_frame_chunk({0xff, 0xff, 0x02, 0x00}).data(), in.data());
  EXPECT_EQ(in[0][0], 1.0);

  bytes last(chunk_bytes, 0);
  last[chunk_bytes - 2] = 0x10; // second channel of the last frame
  pcm_to_complex(last.data(), in.data());
  EXPECT_EQ(in[chunk_frames - 1][0], 16.0);
}

TEST(CalcBandRms, BandEdgesAndIgnoredBins) {
  const int none = -1, sub = 0, low = 1, mid = 2, high = 3;
  const std::pair<int, int> cases[] = {
      {0, none},    {2, none},    {3, sub},     {14, sub},   {15, low},
      {89, low},    {90, mid},    {599, mid},   {600, high}, {4999, high},
      {5000, none}, {5512, none}, {11024, none}};
  for (const auto &[bin, band] : cases)
    EXPECT_EQ(band_of(bin), band) << "bin " << bin;
}

TEST(CalcBandRms, DividesEveryBandByTheTransformLength) {
  complex_buf out(chunk_frames);
  for (auto &c : out)
    c[0] = c[1] = 1.0; // |X_k|^2 = 2 everywhere
  band_rms l{};
  calc_band_rms(out.data(), &l);
  EXPECT_DOUBLE_EQ(l.sub, std::sqrt(2.0 * 12 / 11025.0));
  EXPECT_DOUBLE_EQ(l.low, std::sqrt(2.0 * 75 / 11025.0));
  EXPECT_DOUBLE_EQ(l.mid, std::sqrt(2.0 * 510 / 11025.0));
  EXPECT_DOUBLE_EQ(l.high, std::sqrt(2.0 * 4400 / 11025.0));
}

// Several running sums may be used for speed; the levels must still agree
// with one plain ascending sum to the last bits.
TEST(CalcBandRms, AgreesWithAPlainSumOnANoisySpectrum) {
  complex_buf out(chunk_frames);
  std::uint32_t s = 99;
  for (auto &c : out)
    for (double &v : c) {
      s = s * 1664525u + 1013904223u;
      v = (static_cast<double>(s >> 8) - 8388608.0) * 1e3;
    }
  band_rms l{};
  calc_band_rms(out.data(), &l);
  const double got[4] = {l.sub, l.low, l.mid, l.high};
  const int edge[5] = {3, 15, 90, 600, 5000};
  for (int b = 0; b < 4; b++) {
    double sum = 0.0;
    for (int k = edge[b]; k < edge[b + 1]; k++)
      sum += out[k][0] * out[k][0] + out[k][1] * out[k][1];
    const double want = std::sqrt(sum / 11025.0);
    EXPECT_NEAR(got[b], want, 1e-12 * want) << "band " << b;
  }
}

TEST(StoreChunkMetrics, ValuesAndClamps) {
  struct row {
    band_rms l;
    double sum, tilt, alt;
  };
  const row rows[] = {
      // plain: lo 3, hi 7, den 6
      {{1, 2, 3, 4}, 10.0, 7.0 / 3.0, 4.0 / 6.0},
      // silence: both denominators clamp to 0.001
      {{0, 0, 0, 0}, 0.001, 0.0, 0.0},
      // no bass: lo clamps, the sum carries the clamped lo, tilt clips
      {{0.0002, 0.0003, 0.5, 0.5}, 1.001, 20.0, 0.5002 / 0.5003},
      // at the limits nothing changes
      {{0.001, 0, 0.02, 0}, 0.021, 20.0, 20.0},
      // just over the ratio limit clips, also for alt
      {{1, 0, 20.5, 0.1}, 21.6, 20.0, 20.0},
      {{1, 0, 19.0, 1.0}, 21.0, 20.0, 20.0},
  };
  for (std::size_t r = 0; r < std::size(rows); r++) {
    fftw_complex sum[3], tilt[3], alt[3];
    for (auto *s : {sum, tilt, alt})
      for (int j = 0; j < 3; j++)
        s[j][0] = s[j][1] = 5.0;
    store_chunk_metrics(&rows[r].l, sum, tilt, alt, 1);
    EXPECT_NEAR(sum[1][0], rows[r].sum, 1e-12) << "row " << r;
    EXPECT_NEAR(tilt[1][0], rows[r].tilt, 1e-12) << "row " << r;
    EXPECT_NEAR(alt[1][0], rows[r].alt, 1e-9) << "row " << r;
    for (auto *s : {sum, tilt, alt}) {
      EXPECT_EQ(s[1][1], 0.0) << "row " << r;
      EXPECT_EQ(s[0][0], 5.0) << "row " << r << ": wrote outside entry i";
      EXPECT_EQ(s[2][0], 5.0) << "row " << r << ": wrote outside entry i";
    }
  }
}

TEST(CalcChunkMetrics, CountsFullChunksAndDropsTheRemainder) {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/pcm";
  // Chunk 0 silent, chunk 1 loud noise, then 1,000 stray bytes.
  bytes pcm(chunk_bytes, 0);
  const bytes loud = noise_pcm(7, chunk_frames, [](long) { return 8000.0; });
  pcm.insert(pcm.end(), loud.begin(), loud.end());
  pcm.insert(pcm.end(), 1000, 0x55);
  write_file(path, pcm);

  series_bufs s(2);
  int n = 0;
  {
    stdin_from in(path);
    n = calc_chunk_metrics(s.sum.data(), s.tilt.data(), s.alt.data());
    EXPECT_EQ(lseek(0, 0, SEEK_CUR), static_cast<off_t>(pcm.size()));
  }
  EXPECT_EQ(n, 2);
  EXPECT_EQ(s.sum[0][0], 0.001);
  EXPECT_EQ(s.tilt[0][0], 0.0);
  EXPECT_EQ(s.alt[0][0], 0.0);
  EXPECT_GT(s.sum[1][0], 1000.0);
  EXPECT_TRUE(s.guard_intact(2));
  std::remove(path.c_str());
  rmdir(dir.c_str());
}

TEST(CalcChunkMetrics, ShortOrEmptyInputYieldsNoChunk) {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/pcm";
  for (std::size_t size : {std::size_t{0}, std::size_t{chunk_bytes - 1}}) {
    write_file(path, bytes(size, 0x33));
    series_bufs s(0);
    stdin_from in(path);
    EXPECT_EQ(calc_chunk_metrics(s.sum.data(), s.tilt.data(), s.alt.data()), 0);
    EXPECT_TRUE(s.guard_intact(0)) << size << " bytes";
  }
  std::remove(path.c_str());
  rmdir(dir.c_str());
}

// More chunks than the series can hold: the first max_chunks are analysed,
// the rest is read to the end but not stored, and a warning says so.
TEST(CalcChunkMetrics, StopsStoringAtCapacityButReadsToTheEnd) {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/long";
  const off_t size = static_cast<off_t>(chunk_bytes) * (max_chunks + 2) + 9;
  {
    // A sparse file of silence: no disk space, fast to read.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  series_bufs s(max_chunks);
  int n = 0;
  testing::internal::CaptureStderr();
  {
    stdin_from in(path);
    n = calc_chunk_metrics(s.sum.data(), s.tilt.data(), s.alt.data());
    EXPECT_EQ(lseek(0, 0, SEEK_CUR), size);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(n, max_chunks);
  EXPECT_TRUE(s.guard_intact(max_chunks)) << "wrote past the series";
  EXPECT_EQ(s.sum[max_chunks - 1][0], 0.001);
  EXPECT_NE(err.find("warning: input longer than 65536 chunks"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("2 dropped"), std::string::npos) << err;
  std::remove(path.c_str());
  rmdir(dir.c_str());
}
