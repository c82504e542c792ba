// The one shared header of bandsway: fixed sizes, the band record and every
// function of the program, one function per source file of the same name.
#ifndef BANDSWAY_DEFS_HPP
#define BANDSWAY_DEFS_HPP

#include <cstddef>
#include <cstdio>

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

// The interpolation command that draws each curve, and the lines of one
// whole curve: 255 intervals, 256 points.
constexpr const char *spline_cmd = "spline -I a -n 255 -s";
constexpr int curve_points = 256;
// A curve is about 3 KB; what spline prints beyond this is not kept, and
// the curve is refused.
constexpr std::size_t max_curve_bytes = 65536;
// The points go to spline through a buffer of this size, a few hundred
// lines at a time, however long the series.
constexpr std::size_t point_buf_bytes = 16384;

// Exit status for a command line or a standard input we do not take.
constexpr int usage_status = 2;

// Levels of the four bands of one chunk, in ascending frequency.
struct band_rms {
  double sub;
  double low;
  double mid;
  double high;
};

// Driver helpers.

// Answers -h, --help and --version and exits 0; refuses any other argument
// with the usage on standard error and usage_status; returns when there
// are no arguments.
void parse_args(int argc, char **argv);
// Prints the usage summary, decoder lines included, on `to`.
void print_usage(std::FILE *to);
// Ends the run before any work when standard input is a terminal (status
// usage_status) or standard output is not open for writing (status 1).
void check_std_fds();

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
// and zeroes the rest of buf. An interrupted read is retried, and a
// non-blocking fd waited on; any other read error ends the run.
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
// command, checks the curve it prints and writes that to standard output;
// a failed run or write ends the program with status 1, and a bad curve
// is named by curve_name ("sum", "tilt" or "alt").
void do_spline(const fftw_complex *spectrum, int n, const char *curve_name);
// Writes the point lines "x y" of bins *k to n/2 - 1 of an n-point
// spectrum into buf, as many whole lines as fit in cap bytes (with room for
// a final NUL; at least one must fit), and moves *k past them; returns the
// bytes written. Bins 0 and 1 are written as 0.
std::size_t format_points(const fftw_complex *spectrum, int n, int *k,
                          char *buf, std::size_t cap);
// Starts spline_cmd through popen, with a pipe to its standard input (the
// stream returned, null when popen fails) and its standard output on a new
// pipe whose read end goes to *curve_fd; our own standard output stays.
std::FILE *start_spline(int *curve_fd);
// Writes the points of an n-point spectrum to spline and, at the same time,
// reads what it prints into curve (the first max_curve_bytes of it) until
// spline closes its output, or until it has printed more than curve_points
// lines or max_curve_bytes bytes: then it stops at once, with *too_long
// set. *curve_len gets the count of bytes read. Returns whether spline took
// every point.
bool feed_spline(std::FILE *spline, int curve_fd, const fftw_complex *spectrum,
                 int n, char *curve, std::size_t *curve_len, bool *too_long);
// Ends the run with status 1, naming the line of the curve curve_name that
// is wrong, unless the len bytes spline printed (the first max_curve_bytes
// of them in curve) are exactly curve_points whole lines, each one finite
// number as spline prints it.
void check_curve(const char *curve, std::size_t len, const char *curve_name);
// Writes len bytes to standard output, whatever the size of each write,
// and ends the run with status 1, naming the cause, when one fails.
void write_stdout(const char *buf, std::size_t len);

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
