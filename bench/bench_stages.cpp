// Per-stage timings of bandsway: each step of the chunk loop on its own,
// the whole chunk step, and the end-of-input series stage.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "defs.hpp"

namespace {

// A chunk of noise, the same on every run.
std::vector<unsigned char> noise_chunk() {
  std::vector<unsigned char> c(chunk_bytes);
  std::uint32_t s = 1;
  for (auto &b : c) {
    s = s * 1664525u + 1013904223u;
    b = static_cast<unsigned char>(s >> 24);
  }
  return c;
}

struct chunk_state {
  fftw_complex *in = static_cast<fftw_complex *>(fftw_malloc(chunk_buf_bytes));
  fftw_complex *out = static_cast<fftw_complex *>(fftw_malloc(chunk_buf_bytes));
  fftw_plan plan =
      fftw_plan_dft_1d(chunk_frames, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
  double *win = make_win_tbl(chunk_frames);
  std::vector<unsigned char> chunk = noise_chunk();
  fftw_complex series[3]{};
  band_rms levels{};

  chunk_state() {
    pcm_to_complex(chunk.data(), in);
    apply_win_tbl(in, win, chunk_frames);
    fftw_execute(plan);
  }
  ~chunk_state() {
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    std::free(win);
  }
};

// A file of chunks of noise that read_from_fd goes through, rewound at
// its end: the page cache holds it, as it does a recording read twice.
struct chunk_file {
  static constexpr int chunks = 64;
  int fd = -1;
  chunk_file() {
    char path[] = "/tmp/bandsway-bench-XXXXXX";
    fd = mkstemp(path);
    unlink(path);
    const auto c = noise_chunk();
    for (int i = 0; i < chunks; i++)
      if (write(fd, c.data(), c.size()) != static_cast<ssize_t>(c.size()))
        std::abort();
    lseek(fd, 0, SEEK_SET);
  }
  ~chunk_file() { close(fd); }
  void next(unsigned char *buf) {
    if (read_from_fd(fd, buf, chunk_bytes) != chunk_bytes) {
      lseek(fd, 0, SEEK_SET);
      read_from_fd(fd, buf, chunk_bytes);
    }
  }
};

void bm_read_from_fd(benchmark::State &st) {
  chunk_file f;
  std::vector<unsigned char> buf(chunk_bytes);
  for (auto _ : st) {
    f.next(buf.data());
    benchmark::DoNotOptimize(buf.data());
  }
}

void bm_pcm_to_complex(benchmark::State &st) {
  chunk_state c;
  for (auto _ : st) {
    pcm_to_complex(c.chunk.data(), c.in);
    benchmark::ClobberMemory();
  }
}

void bm_apply_win_tbl(benchmark::State &st) {
  chunk_state c;
  for (auto _ : st) {
    // Windowing the same buffer again and again would sink it towards 0
    // and into subnormal numbers; undo with a cheap reset every time.
    pcm_to_complex(c.chunk.data(), c.in);
    apply_win_tbl(c.in, c.win, chunk_frames);
    benchmark::ClobberMemory();
  }
}

// The floor: one transform of a chunk.
void bm_fft(benchmark::State &st) {
  chunk_state c;
  for (auto _ : st) {
    fftw_execute(c.plan);
    benchmark::ClobberMemory();
  }
}

void bm_calc_band_rms(benchmark::State &st) {
  chunk_state c;
  for (auto _ : st) {
    calc_band_rms(c.out, &c.levels);
    benchmark::DoNotOptimize(c.levels);
  }
}

void bm_store_chunk_metrics(benchmark::State &st) {
  chunk_state c;
  calc_band_rms(c.out, &c.levels);
  for (auto _ : st) {
    store_chunk_metrics(&c.levels, c.series, c.series + 1, c.series + 2, 0);
    benchmark::ClobberMemory();
  }
}

// Everything one chunk costs in the loop, from the read to the series.
void bm_chunk_step(benchmark::State &st) {
  chunk_state c;
  chunk_file f;
  for (auto _ : st) {
    f.next(c.chunk.data());
    pcm_to_complex(c.chunk.data(), c.in);
    apply_win_tbl(c.in, c.win, chunk_frames);
    fftw_execute(c.plan);
    calc_band_rms(c.out, &c.levels);
    store_chunk_metrics(&c.levels, c.series, c.series + 1, c.series + 2, 0);
    benchmark::ClobberMemory();
  }
}

// From filled series to spectra: plans, window and the three transforms.
void bm_series_stage(benchmark::State &st) {
  const int n = static_cast<int>(st.range(0));
  fftw_complex *b[6];
  alloc_bufs(&b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
  for (auto _ : st) {
    st.PauseTiming();
    for (int s = 0; s < 6; s += 2)
      for (int i = 0; i < n; i++) {
        b[s][i][0] = 1.0 + std::sin(i * 0.01 * (s + 1));
        b[s][i][1] = 0.0;
      }
    st.ResumeTiming();
    fftw_plan p[3];
    make_plans(n, &p[0], &p[1], &p[2], b[0], b[2], b[4], b[1], b[3], b[5]);
    double *win = make_win_tbl(n);
    apply_win_tbl(b[0], win, n);
    apply_win_tbl(b[2], win, n);
    apply_win_tbl(b[4], win, n);
    fftw_execute(p[0]);
    fftw_execute(p[1]);
    fftw_execute(p[2]);
    std::free(win);
    destroy_plans(p[0], p[1], p[2]);
  }
  free_bufs(b[0], b[1], b[2], b[3], b[4], b[5]);
}

} // namespace

BENCHMARK(bm_read_from_fd);
BENCHMARK(bm_pcm_to_complex);
BENCHMARK(bm_apply_win_tbl);
BENCHMARK(bm_fft);
BENCHMARK(bm_calc_band_rms);
BENCHMARK(bm_store_chunk_metrics);
BENCHMARK(bm_chunk_step);
BENCHMARK(bm_series_stage)
    ->Arg(720)
    ->Arg(14400)
    ->Arg(max_chunks)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
