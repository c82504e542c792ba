// The whole program as users run it: recordings in, curves or a clear
// failure out.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helpers.hpp"

namespace {

constexpr long chunk_frames = 11025;
constexpr long chunk_bytes = 4 * chunk_frames;

// A temporary folder for one test, with the stand-in spline first on PATH.
class E2e : public testing::Test {
protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  // An empty folder again, for the next row of a table.
  void reset() {
    TearDown();
    SetUp();
  }
  std::string input(const bytes &pcm) {
    const std::string path = dir_ + "/input";
    write_file(path, pcm);
    return path;
  }
  // Silence of the given length, as a sparse file: fast and takes no disk.
  std::string silent_input(long long size) {
    const std::string path = dir_ + "/silence";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, size), 0);
    close(fd);
    return path;
  }
  std::string stub_path() const {
    return std::string(STUB_DIR) + ":" + std::getenv("PATH");
  }
  run_result run_stub(const std::string &in,
                      std::vector<std::string> env = {}) {
    env.push_back("SPLINE_LOG=" + dir_);
    return run_bandsway(in, stub_path(), env);
  }
  std::string spline_input(int run) const {
    return read_file(dir_ + "/input." + std::to_string(run));
  }
  int spline_runs() const {
    int i = 0;
    while (access((dir_ + "/args." + std::to_string(i)).c_str(), F_OK) == 0)
      i++;
    return i;
  }
  std::string dir_;
};

int exit_code(const run_result &r) {
  EXPECT_FALSE(r.hung) << "the run hung and was killed";
  return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
}

double steady(long) { return 6000.0; }

// Recordings nobody tuned: the gain of each chunk comes from a hash.
double hashed_gain(long c) {
  std::uint32_t h = static_cast<std::uint32_t>(c) * 2654435761u;
  h ^= h >> 15;
  return 500.0 + static_cast<double>(h % 12000u);
}

void expect_points_near(const std::vector<std::pair<double, double>> &got,
                        const std::vector<std::pair<double, double>> &want,
                        const char *series) {
  ASSERT_EQ(got.size(), want.size()) << series;
  for (std::size_t k = 0; k < got.size(); k++) {
    EXPECT_NEAR(got[k].first, want[k].first, 5.1e-7) << series << " x" << k;
    // Printed with six decimals: allow the last one, plus relative rounding.
    EXPECT_NEAR(got[k].second, want[k].second,
                1.5e-6 + 1e-9 * std::fabs(want[k].second))
        << series << " bin " << k;
  }
}

} // namespace

// Inputs that hold no full chunk, or too few for a curve (1 to 3 chunks
// give spline one point or none), fail before any spline run; one second,
// the shortest input that makes a curve, gives all three.
TEST_F(E2e, InputsTooShortForACurveFailWithAMessage) {
  struct row {
    long bytes;
    const char *message; // null: the run succeeds
  };
  const row rows[] = {
      {0, "bandsway: no full chunk in the input"},
      {1, "bandsway: no full chunk in the input"},
      {chunk_bytes - 1, "bandsway: no full chunk in the input"},
      {chunk_bytes + 68, "too short for a curve: 1 chunk, at least 4 (one "
                         "second) needed"},
      {2 * chunk_bytes + 68, "too short for a curve: 2 chunks, at least 4"},
      {3 * chunk_bytes + 68, "too short for a curve: 3 chunks, at least 4"},
      {4 * chunk_bytes, nullptr},
  };
  for (const row &c : rows) {
    reset();
    const run_result r = run_stub(input(bytes(c.bytes, 0x11)));
    if (c.message == nullptr) {
      EXPECT_EQ(exit_code(r), 0) << c.bytes << " bytes: " << r.err;
      EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 768)
          << c.bytes << " bytes";
      EXPECT_EQ(spline_runs(), 3) << c.bytes << " bytes";
      continue;
    }
    EXPECT_EQ(exit_code(r), 1) << c.bytes << " bytes";
    EXPECT_EQ(r.out, "") << c.bytes << " bytes";
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(spline_runs(), 0) << c.bytes << " bytes";
  }
}

// The points handed to spline match a direct computation from the
// definitions, and reach standard output in the order sum, tilt, alt.
// Written to a file opened to append or to read and write, the curves land
// where such a file takes them.
TEST_F(E2e, PointsMatchAnIndependentComputation) {
  struct row {
    std::uint32_t seed;
    long frames;
    int out_flags;
    const char *before; // what the output file holds beforehand
    const char *kept;   // and what of it is left before the curves
  };
  const int trunc = O_WRONLY | O_CREAT | O_TRUNC;
  for (const row &c :
       {row{101, 9 * chunk_frames + 5000, trunc, "", ""},
        row{202, 12 * chunk_frames, O_WRONLY | O_APPEND, "earlier\n",
            "earlier\n"},
        row{303, 13 * chunk_frames + 11024, O_RDWR, "X\n", ""}}) {
    reset();
    const bytes pcm = noise_pcm(c.seed, c.frames, hashed_gain);
    const std::string curves = dir_ + "/curves";
    write_file(curves, bytes(c.before, c.before + std::strlen(c.before)));
    run_opts opts;
    opts.out_flags = c.out_flags;
    const run_result r = run_bandsway(
        input(pcm), stub_path(), {"SPLINE_LOG=" + dir_}, curves.c_str(), opts);
    ASSERT_EQ(exit_code(r), 0) << r.err;
    const ref_series ref = reference_series(pcm);
    ASSERT_EQ(ref.sum.size(),
              static_cast<std::size_t>(c.frames / chunk_frames));

    const auto sum = reference_points(ref.sum);
    const auto tilt = reference_points(ref.tilt);
    const auto alt = reference_points(ref.alt);
    expect_points_near(parse_points(spline_input(0)), sum, "sum");
    expect_points_near(parse_points(spline_input(1)), tilt, "tilt");
    expect_points_near(parse_points(spline_input(2)), alt, "alt");
    std::string in_order = c.kept;
    for (const char run : {'0', '1', '2'})
      for (int line = 0; line < 256; line++)
        in_order += std::string(1, run) + "\n";
    EXPECT_EQ(r.out, in_order) << "outputs out of order or misplaced";
  }
}

// A spline that fails, cannot be found or prints anything but numbers
// never passes for a result: the run stops at the first bad curve, whose
// line is named, and what goes out is only the curves before it. One that
// prints without end is stopped, however it takes a failed write, even
// when bandsway was started with SIGPIPE ignored.
TEST_F(E2e, FailingSplineFailsTheRun) {
  struct row {
    const char *what;
    std::vector<std::string> env;
    bool on_path;
    std::string message;
    int runs; // spline runs, the last one the bad one
    run_opts opts;
  };
  const bytes pcm = noise_pcm(5, 8 * chunk_frames, steady);
  const std::string more_lines = "printed more than 256 lines for the sum "
                                 "curve\n";
  run_opts sigpipe_ignored;
  sigpipe_ignored.ignore_sigpipe = true;
  const row rows[] = {
      {"missing", {}, false, "could not run \"spline -I a -n 255 -s\"", 0, {}},
      {"exit 3", {"STUB_SPLINE_EXIT=3"}, true, "exited with status 3", 1, {}},
      {"killed", {"STUB_SPLINE_MODE=kill"}, true, "killed by signal 9", 1, {}},
      {"curve cut short",
       {"STUB_SPLINE_MODE=cut"},
       true,
       "printed 255 lines and a part of one, not the 256 of a curve",
       1,
       {}},
      {"words",
       {"STUB_SPLINE_LINE=not a number"},
       true,
       "printed line 1 of the sum curve that is not a number: \"not a "
       "number\"\n",
       1,
       {}},
      {"an empty line",
       {"STUB_SPLINE_LINE=", "STUB_SPLINE_AT=1:17"},
       true,
       "printed line 17 of the tilt curve that is not a number: \"\"\n",
       2,
       {}},
      {"a terminal escape",
       {"STUB_SPLINE_LINE=\x1b]0;title\x07\x1b[2J", "STUB_SPLINE_AT=2:256"},
       true,
       "printed line 256 of the alt curve that is not a number: "
       "\"\\x1b]0;title\\x07\\x1b[2J\"\n",
       3,
       {}},
      {"a number too large for a double",
       {"STUB_SPLINE_LINE=1e999", "STUB_SPLINE_AT=1:2"},
       true,
       "printed line 2 of the tilt curve that is not a number: \"1e999\"\n",
       2,
       {}},
      {"endless lines", {"STUB_SPLINE_MODE=endless"}, true, more_lines, 1, {}},
      {"endless lines, SIGPIPE ignored",
       {"STUB_SPLINE_MODE=endless-nosigpipe"},
       true,
       more_lines,
       1,
       {}},
      {"one endless line",
       {"STUB_SPLINE_MODE=endless-line"},
       true,
       "printed more than 65536 bytes, not a curve of 256 lines\n",
       1,
       {}},
      {"endless lines, failed writes unheeded, bandsway's SIGPIPE ignored",
       {"STUB_SPLINE_MODE=endless-loop"},
       true,
       more_lines,
       1,
       sigpipe_ignored},
  };
  for (const row &c : rows) {
    reset();
    std::vector<std::string> env = c.env;
    env.push_back("SPLINE_LOG=" + dir_);
    const std::string path = c.on_path ? stub_path() : dir_;
    const run_result r = run_bandsway(input(pcm), path, env, "", c.opts);
    EXPECT_EQ(exit_code(r), 1) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos)
        << c.what << ": " << r.err;
    EXPECT_EQ(spline_runs(), c.runs) << c.what << ": " << r.err;
    std::string before;
    for (int run = 0; run + 1 < c.runs; run++)
      for (int line = 0; line < 256; line++)
        before += std::to_string(run) + "\n";
    EXPECT_EQ(r.out, before) << c.what;
  }
}

// More than the series can hold: the first 65,536 chunks make the curves,
// the rest is read and dropped with a warning, and the run succeeds.
TEST_F(E2e, OverlongInputIsCappedWithAWarning) {
  const run_result r = run_stub(silent_input(chunk_bytes * 65537 + 3));
  EXPECT_EQ(exit_code(r), 0) << r.err;
  EXPECT_NE(r.err.find("warning: input longer than 65536 chunks"),
            std::string::npos)
      << r.err;
  ASSERT_EQ(spline_runs(), 3);
  const auto pts = parse_points(spline_input(0));
  ASSERT_EQ(pts.size(), 32768u);
  EXPECT_NEAR(pts.back().first, 32767.0 / 65536.0, 5.1e-7);
}

// Through the real spline: 256 values per series, and loudness that swings
// at 0.5 Hz puts the peak of the sum curve at 0.5 Hz.
TEST_F(E2e, RealSplineShowsTheRateOfALoudnessSwing) {
  // 30 s = 120 chunks; 0.5 Hz = one swing per 8 chunks.
  const bytes pcm = noise_pcm(9, 120 * chunk_frames, [](long c) {
    return 4000.0 + 3500.0 * std::sin(2 * 3.14159265358979 * c / 8.0);
  });
  const run_result r = run_bandsway(input(pcm), std::getenv("PATH"));
  ASSERT_EQ(exit_code(r), 0) << r.err;
  std::vector<double> v;
  std::istringstream values(r.out);
  for (double d = 0; values >> d;)
    v.push_back(d);
  ASSERT_EQ(v.size(), 768u) << r.out.substr(0, 200);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 768);
  // The 256 values span 0 to 59/120 cycles per chunk, 4 chunks per second.
  const auto peak = std::max_element(v.begin(), v.begin() + 256) - v.begin();
  const double hz = static_cast<double>(peak) / 255.0 * (59.0 / 120.0) * 4.0;
  EXPECT_NEAR(hz, 0.5, 0.03) << "sum curve peaks at index " << peak;
}

// Hostile surroundings: each run ends, with status 1 and a message of the
// program's own, never with a hang or a success. Every output that cannot
// take the curves fails the run, whatever kind it is; a file size limit
// cuts a curve in the middle (the stand-in's three take 1,536 bytes).
TEST_F(E2e, HostileSurroundingsFailWithAMessage) {
  struct row {
    const char *what;
    std::string in;
    const char *out;
    std::vector<std::string> env;
    const char *message;
    run_opts opts;
    bool real_spline; // for a user who cannot reach the stand-in's log
  };
  const std::string audio = input(noise_pcm(8, 20 * chunk_frames, steady));
  const std::string cut_off = "error do_spline: cannot write the curve to "
                              "standard output: ";
  run_opts help;
  help.args = {"--help"};
  run_opts limit;
  limit.fsize_limit = 1000;
  limit.ignore_sigxfsz = true;
  run_opts nobody_limit;
  nobody_limit.fsize_limit = 4096;
  nobody_limit.as_nobody = true;
  const std::string write_only = dir_ + "/write-only";
  write_file(write_only, {});
  chmod(write_only.c_str(), 0200);
  const row rows[] = {
      {"stdin is a directory",
       dir_,
       "",
       {},
       "error read_from_fd: Is a directory",
       {},
       false},
      {"stdin closed",
       closed,
       "",
       {},
       "error read_from_fd: Bad file descriptor",
       {},
       false},
      {"stdout closed",
       audio,
       closed,
       {},
       "bandsway: standard output is not open for writing",
       {},
       false},
      // 8,000 chunks give 4,000 points, far more than a pipe holds.
      {"spline stops reading",
       silent_input(chunk_bytes * 8000),
       "",
       {"STUB_SPLINE_MODE=noread"},
       "did not read all 4000 points",
       {},
       false},
      {"/dev/full",
       audio,
       "/dev/full",
       {},
       "No space left on device",
       {},
       false},
      {"a pipe nobody reads", audio, broken_pipe, {}, "Broken pipe", {}, false},
      {"--help to /dev/full",
       audio,
       "/dev/full",
       {},
       "bandsway: cannot write to standard output: No space left on device",
       help,
       false},
      {"--help to a pipe nobody reads",
       audio,
       broken_pipe,
       {},
       "bandsway: cannot write to standard output: Broken pipe",
       help,
       false},
      {"file size limit, SIGXFSZ ignored",
       audio,
       "",
       {},
       "File too large",
       limit,
       false},
      {"file size limit on a file we cannot read back",
       audio,
       write_only.c_str(),
       {},
       "File too large",
       nobody_limit,
       true},
  };
  for (const row &c : rows) {
    std::vector<std::string> env = c.env;
    env.push_back("SPLINE_LOG=" + dir_ + "/log");
    mkdir((dir_ + "/log").c_str(), 0700);
    const std::string path = c.real_spline ? std::getenv("PATH") : stub_path();
    const run_result r = run_bandsway(c.in, path, env, c.out, c.opts);
    if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == 124) {
      std::printf("note: %s: cannot run as nobody here; skipped\n", c.what);
      continue;
    }
    EXPECT_EQ(exit_code(r), 1) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos)
        << c.what << ": " << r.err;
    if (c.opts.fsize_limit < 0) {
      EXPECT_EQ(r.out, "") << c.what;
    } else {
      EXPECT_EQ(r.err.rfind(cut_off, 0), 0u) << c.what << ": " << r.err;
      // Nothing written is lost: Linux cuts the write that crosses the
      // limit short, and every byte up to it is there; ZFS refuses that
      // write whole, and the output ends with the curve before it (each
      // of the stand-in's curves is 512 bytes, "N\n" 256 times).
      if (!c.opts.as_nobody) {
        const std::size_t limit = static_cast<std::size_t>(c.opts.fsize_limit);
        EXPECT_TRUE(r.out.size() == limit ||
                    (r.out.size() < limit && r.out.size() % 512 == 0))
            << c.what << ": " << r.out.size() << " bytes";
        // The stand-in's runs are numbered on from earlier rows.
        const char first = r.out.empty() ? '0' : r.out[0];
        std::string curves;
        for (int run = 0; run < 3; run++)
          for (int k = 0; k < 256; k++)
            curves += std::string(1, static_cast<char>(first + run)) + "\n";
        EXPECT_EQ(r.out, curves.substr(0, r.out.size())) << c.what;
      }
    }
  }
}

// A curve file on a full file system is a failed run, with partial room as
// with none. The file system is a 64 KiB tmpfs (16 pages), filled to leave
// one page or none.
TEST_F(E2e, FullDiskFailsTheRun) {
  if (geteuid() != 0)
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  struct row {
    const char *what;
    long fill;
    const char *message;
  };
  const std::string audio = input(noise_pcm(8, 20 * chunk_frames, steady));
  const std::string disk = dir_ + "/disk";
  ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
  ASSERT_EQ(
      std::system(("mount -t tmpfs -o size=64k tmpfs '" + disk + "'").c_str()),
      0);
  const row rows[] = {
      {"one page of room", 15 * 4096, "No space left on device"},
      {"no room", 16 * 4096, "No space left on device"},
  };
  for (const row &c : rows) {
    std::remove((disk + "/curves").c_str());
    write_file(disk + "/fill", bytes(c.fill, 0));
    const std::string curves = disk + "/curves";
    const run_result r =
        run_bandsway(audio, std::getenv("PATH"), {}, curves.c_str());
    EXPECT_EQ(exit_code(r), 1) << c.what << ": " << r.err;
    EXPECT_EQ(r.err.rfind("error do_spline: cannot write the curve to "
                          "standard output: ",
                          0),
              0u)
        << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos)
        << c.what << ": " << r.err;
    EXPECT_LT(std::count(r.out.begin(), r.out.end(), '\n'), 768) << c.what;
  }
  EXPECT_EQ(std::system(("umount '" + disk + "'").c_str()), 0);
}

// The command line answers at once: help and version on standard output,
// anything else refused with the usage, and a terminal on standard input
// refused rather than waited on.
TEST_F(E2e, CommandLineAnswersAtOnce) {
  struct row {
    std::vector<std::string> args;
    bool terminal;
    int status;
    const char *out; // a text standard output holds
    const char *err; // and one standard error holds
  };
  const std::string audio = input(noise_pcm(8, 8 * chunk_frames, steady));
  const row rows[] = {
      {{"--help"}, false, 0, "ffmpeg -loglevel error -i FILE -f s16le", ""},
      {{"-h"}, false, 0, "sox -D FILE -t raw -e signed-integer -b 16", ""},
      {{"--version"}, false, 0, "bandsway " BANDSWAY_VERSION "\n", ""},
      {{"song.wav"}, false, 2, "", "unexpected argument \"song.wav\""},
      {{"-z"}, false, 2, "", "unknown option -z"},
      {{"--help", "x"}, false, 2, "", "unexpected argument \"x\""},
      {{}, true, 2, "", "standard input is a terminal; pipe raw PCM"},
  };
  for (const row &c : rows) {
    std::string in = audio;
    int pty = -1;
    if (c.terminal) {
      pty = posix_openpt(O_RDWR | O_NOCTTY);
      if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0) {
        if (pty >= 0)
          close(pty);
        std::printf("note: no pseudo-terminal here; the terminal case is "
                    "skipped\n");
        continue;
      }
      in = ptsname(pty);
    }
    run_opts opts;
    opts.args = c.args;
    const run_result r =
        run_bandsway(in, stub_path(), {"SPLINE_LOG=" + dir_}, "", opts);
    if (pty >= 0)
      close(pty);
    const std::string what = c.args.empty() ? "a terminal" : c.args[0];
    EXPECT_EQ(exit_code(r), c.status) << what << ": " << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << what << ": " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.err, "") << what;
    } else {
      EXPECT_EQ(r.out, "") << what;
      EXPECT_NE(r.err.find("--help"), std::string::npos) << what;
    }
    EXPECT_EQ(spline_runs(), 0) << what;
  }
}
