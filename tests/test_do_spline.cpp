// The spectrum writer, through a stand-in spline that records what it gets.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "defs.hpp"
#include "helpers.hpp"

namespace {

class DoSpline : public testing::Test {
protected:
  void SetUp() override {
    log_ = make_temp_dir();
    old_path_ = std::getenv("PATH");
    setenv("PATH", (std::string(STUB_DIR) + ":" + old_path_).c_str(), 1);
    setenv("SPLINE_LOG", log_.c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    unsetenv("SPLINE_LOG");
    unsetenv("STUB_SPLINE_EXIT");
    clear_log();
    rmdir(log_.c_str());
  }
  void clear_log() {
    for (const char *f : {"args.0", "input.0"})
      unlink((log_ + "/" + f).c_str());
  }
  // Runs do_spline on an n-point spectrum whose bin k is (k + 1, -k) and
  // returns what the command was given.
  std::string points_for(int n, complex_buf *spec = nullptr) {
    complex_buf own(static_cast<std::size_t>(n) + 1);
    if (spec == nullptr) {
      for (int k = 0; k < n; k++) {
        own[k][0] = k + 1.0;
        own[k][1] = -k;
      }
      spec = &own;
    }
    clear_log();
    testing::internal::CaptureStdout(); // the stand-in prints a curve
    do_spline(spec->data(), n);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_file(log_ + "/args.0"), "-I a -n 255 -s\n");
    return read_file(log_ + "/input.0");
  }
  std::string log_;
  std::string old_path_;
};

} // namespace

TEST_F(DoSpline, NoPointsBelowTwoBinsButTheCommandStillRuns) {
  EXPECT_EQ(points_for(0), "");
  EXPECT_EQ(points_for(1), "");
}

TEST_F(DoSpline, TwoAndThreeBinsGiveOnePoint) {
  EXPECT_EQ(points_for(2), "0.000000 0.000000\n");
  EXPECT_EQ(points_for(3), "0.000000 0.000000\n");
}

TEST_F(DoSpline, FourBinsGiveTwoSuppressedPoints) {
  EXPECT_EQ(points_for(4), "0.000000 0.000000\n0.250000 0.000000\n");
}

TEST_F(DoSpline, SixBinsWriteTheMagnitudeOfBinTwo) {
  // Bin 2 is (3, -2): magnitude sqrt(13).
  EXPECT_EQ(points_for(6), "0.000000 0.000000\n"
                           "0.166667 0.000000\n"
                           "0.333333 3.605551\n");
}

TEST_F(DoSpline, LargestBinsZeroAndOneAreStillSuppressed) {
  complex_buf spec(6);
  for (auto &c : spec)
    c[0] = c[1] = 0.0;
  spec[0][0] = 1e9;
  spec[1][1] = -1e9;
  spec[2][0] = -4.0;
  EXPECT_EQ(points_for(6, &spec), "0.000000 0.000000\n"
                                  "0.166667 0.000000\n"
                                  "0.333333 4.000000\n");
}

TEST_F(DoSpline, OddLengthStopsBelowTheMiddleBin) {
  // Bins 0 to 2 of 7; bin 3 is never written.
  EXPECT_EQ(points_for(7), "0.000000 0.000000\n"
                           "0.142857 0.000000\n"
                           "0.285714 3.605551\n");
}

using DoSplineDeathTest = DoSpline;

TEST_F(DoSplineDeathTest, CommandFailureEndsTheRunWithStatus1) {
  setenv("STUB_SPLINE_EXIT", "3", 1);
  complex_buf spec(4);
  EXPECT_EXIT(do_spline(spec.data(), 4), testing::ExitedWithCode(1),
              "error do_spline: \"spline -I a -n 255 -s\" exited with "
              "status 3");
}

TEST_F(DoSplineDeathTest, MissingCommandEndsTheRunWithStatus1) {
  setenv("PATH", log_.c_str(), 1); // a directory without spline
  complex_buf spec(4);
  EXPECT_EXIT(do_spline(spec.data(), 4), testing::ExitedWithCode(1),
              "error do_spline: could not run \"spline -I a -n 255 -s\" "
              "\\(status 127");
}
