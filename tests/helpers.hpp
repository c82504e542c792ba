// Shared test helpers: temporary files, synthetic PCM, running the program
// and an independent, deliberately slow computation of what it should feed
// to spline.
#ifndef BANDSWAY_TEST_HELPERS_HPP
#define BANDSWAY_TEST_HELPERS_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <fftw3.h>

using bytes = std::vector<unsigned char>;

// n complex values, zeroed, for the buffers the stages take. fftw_complex
// is a C array, which std::vector holds under libstdc++ but not libc++.
class complex_buf {
public:
  explicit complex_buf(std::size_t n)
      : n_(n), p_(std::make_unique<fftw_complex[]>(n)) {}
  fftw_complex *data() { return p_.get(); }
  const fftw_complex *data() const { return p_.get(); }
  fftw_complex &operator[](std::size_t i) { return p_[i]; }
  const fftw_complex &operator[](std::size_t i) const { return p_[i]; }
  fftw_complex *begin() { return p_.get(); }
  fftw_complex *end() { return p_.get() + n_; }
  const fftw_complex *begin() const { return p_.get(); }
  const fftw_complex *end() const { return p_.get() + n_; }

private:
  std::size_t n_;
  std::unique_ptr<fftw_complex[]> p_;
};

// A fresh, empty directory under TMPDIR (or /tmp).
std::string make_temp_dir();
void write_file(const std::string &path, const bytes &data);
std::string read_file(const std::string &path);

// s16le stereo noise of `frames` frames; chunk c (of 11,025 frames) gets
// the amplitude gain(c) on the left and half of it on the right, plus a
// pseudo-random tilt so that the bands do not move together.
bytes noise_pcm(std::uint32_t seed, long frames, double (*gain)(long chunk));

// Redirects file descriptor 0 to a file for as long as it lives.
class stdin_from {
public:
  explicit stdin_from(const std::string &path);
  ~stdin_from();
  stdin_from(const stdin_from &) = delete;
  stdin_from &operator=(const stdin_from &) = delete;

private:
  int saved_;
};

struct run_result {
  int status; // raw wait status
  std::string out;
  std::string err;
  bool hung; // killed after the time limit
};

// Standard input or output closed instead of redirected.
constexpr const char *closed = "<closed>";
// Standard output a pipe whose reading end is already closed.
constexpr const char *broken_pipe = "<broken pipe>";

// How else a run differs from a plain one.
struct run_opts {
  std::vector<std::string> args; // after the program name
  // How a file named for standard output is opened.
  int out_flags = O_WRONLY | O_CREAT | O_TRUNC;
  long long fsize_limit = -1; // RLIMIT_FSIZE in bytes, -1: none
  bool ignore_sigxfsz = false;
  bool ignore_sigpipe = false; // as a parent may hand it down
  // Run as nobody when we are root, so that the output file, opened
  // before, cannot be read back: exit status 124 when that is impossible.
  bool as_nobody = false;
};

// Runs bandsway with standard input from `stdin_path`, PATH set to `path`
// and the extra "NAME=value" settings in `env`; standard output goes to a
// temporary file, or to the file named by `stdout_to`, or is closed or a
// broken pipe as named above. A run over 120 s is killed. What a regular
// file on standard output holds afterwards comes back in `out`.
run_result run_bandsway(const std::string &stdin_path, const std::string &path,
                        const std::vector<std::string> &env = {},
                        const char *stdout_to = "", const run_opts &opts = {});

// The three series (sum, tilt, alt) of a recording, straight from the
// definitions with a direct DFT.
struct ref_series {
  std::vector<double> sum, tilt, alt;
};
ref_series reference_series(const bytes &pcm);

// The points "x y" that one series should yield, from a direct DFT.
std::vector<std::pair<double, double>>
reference_points(const std::vector<double> &series);

// Parses lines of "x y" points.
std::vector<std::pair<double, double>> parse_points(const std::string &text);

#endif
