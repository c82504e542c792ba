// The one shared header of bandsway: fixed sizes, the band record and every
// function of the program, one function per source file of the same name.
#ifndef BANDSWAY_DEFS_HPP
#define BANDSWAY_DEFS_HPP

#include <cstddef>

#include <fftw3.h>

// One chunk is a quarter of a second of CD audio: 11,025 frames of two
// signed 16-bit little-endian samples.
constexpr int frame_bytes = 4;
constexpr int chunk_frames = 11025;
constexpr int chunk_bytes = chunk_frames * frame_bytes;
constexpr std::size_t chunk_buf_bytes = chunk_frames * sizeof(fftw_complex);

// Capacity of each series buffer, in chunks (about 4 h 33 min of audio).
constexpr int max_chunks = 65536;
constexpr std::size_t series_buf_bytes = max_chunks * sizeof(fftw_complex);

// Inclusive bin ranges of the 11,025-point chunk spectrum; one bin is 4 Hz.
constexpr int sub_first = 3;
constexpr int sub_last = 14;
constexpr int low_first = 15;
constexpr int low_last = 89;
constexpr int mid_first = 90;
constexpr int mid_last = 599;
constexpr int high_first = 600;
constexpr int high_last = 4999;

// Every band level is divided by the transform length, not by its bin count,
// so that the four levels stay comparable with results made before.
constexpr double band_divisor = 11025.0;

// Smallest denominator and largest ratio of the chunk metrics.
constexpr double min_level_sum = 0.001;
constexpr double max_ratio = 20.0;

// The fewest chunks that give spline two points to draw a curve through:
// one second of audio.
constexpr int min_curve_chunks = 4;

// The interpolation command that prints the curves on our standard output,
// and the lines of one whole curve: 255 intervals, 256 points.
constexpr const char *spline_cmd = "spline -I a -n 255 -s";
constexpr int curve_points = 256;

// Levels of the four bands of one chunk, in ascending frequency.
struct band_rms {
  double sub;
  double low;
  double mid;
  double high;
};

// Driver helpers.

// Allocates the six series buffers; ends the run with a message on failure.
void alloc_bufs(fftw_complex **sum_in, fftw_complex **sum_out,
                fftw_complex **tilt_in, fftw_complex **tilt_out,
                fftw_complex **alt_in, fftw_complex **alt_out);
// Plans the three n-point series transforms; ends the run on failure.
void make_plans(int n, fftw_plan *sum_plan, fftw_plan *tilt_plan,
                fftw_plan *alt_plan, fftw_complex *sum_in,
                fftw_complex *tilt_in, fftw_complex *alt_in,
                fftw_complex *sum_out, fftw_complex *tilt_out,
                fftw_complex *alt_out);
// Releases the six series buffers in allocation order.
void free_bufs(fftw_complex *sum_in, fftw_complex *sum_out,
               fftw_complex *tilt_in, fftw_complex *tilt_out,
               fftw_complex *alt_in, fftw_complex *alt_out);
// Releases the three series plans: sum, tilt, alt.
void destroy_plans(fftw_plan sum_plan, fftw_plan tilt_plan, fftw_plan alt_plan);

// Chunk analysis.

// Reads fd 0 to its end and fills one entry per full chunk (at most
// max_chunks) of the three series; returns the number of entries filled.
int calc_chunk_metrics(fftw_complex *sum_in, fftw_complex *tilt_in,
                       fftw_complex *alt_in);
// Reads until len bytes are in buf or the input ends; returns the count read
// and zeroes the rest of buf. A read error ends the run.
int read_from_fd(int fd, unsigned char *buf, int len);
// Zeroes bytes got to len - 1 of buf when got < len.
void fill_zeros(int len, unsigned char *buf, int got);
// Returns a new malloc'd window table of N entries; ends the run on failure.
double *make_win_tbl(int N);
// Multiplies the real parts of entries 0 to N - 1 of buf by the window.
void apply_win_tbl(fftw_complex *buf, const double *win, int N);
// Turns one chunk of PCM into the channel sums of its frames, as real parts.
void pcm_to_complex(const unsigned char *chunk, fftw_complex *in);
// Reduces the chunk spectrum to the levels of the four bands.
void calc_band_rms(const fftw_complex *out, band_rms *levels);
// Writes entry i of the sum, tilt and alt series from the band levels.
void store_chunk_metrics(const band_rms *levels, fftw_complex *sum_in,
                         fftw_complex *tilt_in, fftw_complex *alt_in, int i);

// Spectrum output.

// Feeds the lower half of an n-point spectrum to one run of the spline
// command and waits for it; a failed run ends the program with status 1.
void do_spline(const fftw_complex *spectrum, int n);
// Returns how far a regular file on standard output reaches for the next
// write (its offset, or its size in append mode); -1 for anything else.
long long mark_stdout();
// Ends the run with status 1 when a spline run fed `points` points left a
// regular file on standard output without its whole curve: nothing written
// since `before` (from mark_stdout), fewer lines than a curve has, or cut
// short by a full file system.
void check_stdout_grew(long long before, int points);
// Counts the newlines that the file on standard output holds from offset
// `from` up to `to`, and says whether the last byte there is one; returns
// -1 when that file cannot be read back.
long long count_out_lines(long long from, long long to, bool *ends_in_newline);

// Checks.

// Reports a failed check the way the standard assertion does, then aborts.
[[noreturn]] void assert_fail(const char *expr, const char *file, int line,
                              const char *func);

// An assertion that NDEBUG does not remove: the run must never go on with a
// null buffer or pipe.
#define ALWAYS_ASSERT(expr)                                                    \
  ((expr) ? static_cast<void>(0)                                               \
          : assert_fail(#expr, __FILE__, __LINE__, __func__))

#endif
