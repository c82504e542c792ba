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
  // The points for an n-point spectrum whose bin k is (k + 1, -k), made
  // in pieces of at most `cap` bytes.
  static std::string points_for(int n, complex_buf *spec = nullptr,
                                std::size_t cap = point_buf_bytes) {
    complex_buf own(static_cast<std::size_t>(n) + 1);
    if (spec == nullptr) {
      for (int k = 0; k < n; k++) {
        own[k][0] = k + 1.0;
        own[k][1] = -k;
      }
      spec = &own;
    }
    std::string points;
    std::vector<char> buf(cap);
    int k = 0;
    while (const std::size_t len =
               format_points(spec->data(), n, &k, buf.data(), cap))
      points.append(buf.data(), len);
    EXPECT_EQ(k, n / 2) << "bins left out";
    return points;
  }
  std::string log_;
  std::string old_path_;
};

} // namespace

TEST_F(DoSpline, NoPointsBelowTwoBins) {
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

// The command gets its options and the points, and its curve reaches our
// standard output.
TEST_F(DoSpline, RunsTheCommandAndPassesItsCurveOn) {
  complex_buf spec(6);
  spec[2][0] = -4.0;
  testing::internal::CaptureStdout();
  do_spline(spec.data(), 6, "sum");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(read_file(log_ + "/args.0"), "-I a -n 255 -s\n");
  EXPECT_EQ(read_file(log_ + "/input.0"), "0.000000 0.000000\n"
                                          "0.166667 0.000000\n"
                                          "0.333333 4.000000\n");
  std::string curve;
  for (int k = 0; k < 256; k++)
    curve += "0\n";
  EXPECT_EQ(out, curve);
}

// However small the buffer, lines are written whole, none lost.
TEST_F(DoSpline, SmallBuffersTakeWholeLines) {
  const std::string whole = points_for(40);
  for (const std::size_t cap : {20, 21, 37, 100})
    EXPECT_EQ(points_for(40, nullptr, cap), whole) << cap << " bytes";
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
  EXPECT_EXIT(do_spline(spec.data(), 4, "sum"), testing::ExitedWithCode(1),
              "error do_spline: \"spline -I a -n 255 -s\" exited with "
              "status 3");
}

// Only 256 whole lines pass for a curve, each one finite number in any
// form that %g prints (and the forms of other printf-like writers);
// anything else is refused with the number of the first bad line, shown
// so that it cannot act on a terminal.
TEST_F(DoSplineDeathTest, AnythingButAWholeCurveEndsTheRunWithStatus1) {
  const char *const forms[] = {
      "0.5", "-1.5", "3",  "2.5e-05", "1E+10",
      ".5",  "5.",   "+2", "-0",      "1.7976931348623157e308"};
  // 256 lines of those forms in turn, but for one line of any text.
  auto curve_with = [&](int line, const std::string &text) {
    std::string c;
    for (int k = 1; k <= 256; k++)
      c += (k == line ? text : std::string(forms[k % 10])) + "\n";
    return c;
  };
  const std::string curve = curve_with(0, "");
  EXPECT_EXIT((check_curve(curve.data(), curve.size(), "sum"), std::exit(0)),
              testing::ExitedWithCode(0), "");
  auto line_17 = [&](const std::string &text) { return curve_with(17, text); };
  const std::string bad = "printed line 17 of the tilt curve that is not "
                          "a number: ";
  struct row {
    std::string text;
    std::string message;
  };
  const row rows[] = {
      {"", "printed 0 lines, not the 256 of a curve"},
      {curve.substr(curve.find('\n') + 1), "printed 255 lines, not the 256"},
      {curve + "0.5\n", "printed more than 256 lines for the tilt curve\n"},
      {curve.substr(0, curve.size() - 1),
       "printed 255 lines and a part of one"},
      {"x", "printed 0 lines and a part of one"},
      {curve + "0.5", "printed 256 lines and a part of one"},
      {std::string(max_curve_bytes + 1, '\n'), "printed more than 65536 bytes"},
      {line_17("not a number"), bad + "\"not a number\""},
      {line_17(""), bad + "\"\""},
      {line_17("nan"), bad + "\"nan\""},
      {line_17("-inf"), bad + "\"-inf\""},
      {line_17("0x1p3"), bad + "\"0x1p3\""},
      {line_17("1e999"), bad + "\"1e999\""},
      {line_17("1.8e308"), bad + "\"1.8e308\""},
      {line_17(" 1.5"), bad + "\" 1.5\""},
      {line_17("1.5 2.5"), bad + "\"1.5 2.5\""},
      {line_17("1,5"), bad + "\"1,5\""},
      {line_17("1.5e"), bad + "\"1.5e\""},
      {line_17("e5"), bad + "\"e5\""},
      {line_17("."), bad + "\".\""},
      {line_17("-"), bad + "\"-\""},
      {line_17("--1"), bad + "\"--1\""},
      {line_17("1.5\r"), bad + "\"1.5\\x0d\""},
      {line_17("\x1b[2J\x7f\\\xc3\xa9"),
       bad + "\"\\x1b[2J\\x7f\\x5c\\xc3\\xa9\""},
      {line_17(std::string(50, '7') + "x"),
       bad + "\"" + std::string(40, '7') + "\" and 11 bytes more\n"},
  };
  // The messages as extended regular expressions that match only
  // themselves.
  auto literal = [](const std::string &text) {
    std::string re;
    for (const char ch : text) {
      if (std::string("\\^$.|?*+()[]{}").find(ch) != std::string::npos)
        re += '\\';
      re += ch;
    }
    return re;
  };
  for (const row &c : rows)
    EXPECT_EXIT(check_curve(c.text.data(), c.text.size(), "tilt"),
                testing::ExitedWithCode(1),
                "^" + literal("error do_spline: \"spline -I a -n 255 -s\" " +
                              c.message));
}

TEST_F(DoSplineDeathTest, MissingCommandEndsTheRunWithStatus1) {
  setenv("PATH", log_.c_str(), 1); // a directory without spline
  complex_buf spec(4);
  EXPECT_EXIT(do_spline(spec.data(), 4, "sum"), testing::ExitedWithCode(1),
              "error do_spline: could not run \"spline -I a -n 255 -s\" "
              "\\(status 127");
}
