// Shared test helpers: temporary files, synthetic PCM, running the program
// and an independent, deliberately slow computation of what it should feed
// to spline.
#ifndef BANDSWAY_TEST_HELPERS_HPP
#define BANDSWAY_TEST_HELPERS_HPP

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using bytes = std::vector<unsigned char>;

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

// Runs bandsway with standard input from `stdin_path`, PATH set to `path`
// and the extra "NAME=value" settings in `env`; standard output goes to a
// temporary file, or to the file named by `stdout_to`, or is closed when
// that is `closed`. A run over 120 s is killed.
run_result run_bandsway(const std::string &stdin_path, const std::string &path,
                        const std::vector<std::string> &env = {},
                        const char *stdout_to = "");

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
