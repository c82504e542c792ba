// The window table and its application to complex buffers.
#include <cmath>
#include <cstdlib>

#include <gtest/gtest.h>

#include "defs.hpp"

TEST(MakeWinTbl, SmallTablesStartAtZero) {
  double *w1 = make_win_tbl(1);
  EXPECT_EQ(w1[0], 0.0);
  std::free(w1);

  double *w2 = make_win_tbl(2);
  EXPECT_EQ(w2[0], 0.0);
  EXPECT_DOUBLE_EQ(w2[1], std::cos(3.1415) * (-0.5) + 0.5);
  std::free(w2);
}

TEST(MakeWinTbl, Uses6283RatherThanTwoPiAndDividesByN) {
  // With 2*pi the middle of a 4-entry table would be exactly 1 and the
  // table symmetric; 6.283 leaves it a hair short and slightly lopsided.
  double *w = make_win_tbl(4);
  EXPECT_LT(w[2], 1.0);
  EXPECT_NEAR(w[2], 1.0, 1e-6);
  EXPECT_GT(std::fabs(w[1] - w[3]), 1e-5);
  EXPECT_NEAR(w[1], 0.5 - 0.5 * std::cos(6.283 / 4), 1e-15);
  std::free(w);

  double *big = make_win_tbl(chunk_frames);
  EXPECT_NEAR(big[chunk_frames - 1],
              0.5 - 0.5 * std::cos(6.283 * (chunk_frames - 1) / chunk_frames),
              1e-15);
  std::free(big);
}

TEST(MakeWinTbl, EmptyTableIsStillFreeable) {
  double *w = make_win_tbl(0);
  ASSERT_NE(w, nullptr);
  std::free(w);
}

TEST(ApplyWinTbl, ScalesRealPartsOfFirstNEntriesOnly) {
  fftw_complex buf[4] = {{1, 5}, {2, 6}, {3, 7}, {4, 8}};
  const double win[3] = {0.5, 2.0, -1.0};
  apply_win_tbl(buf, win, 3);
  EXPECT_EQ(buf[0][0], 0.5);
  EXPECT_EQ(buf[1][0], 4.0);
  EXPECT_EQ(buf[2][0], -3.0);
  EXPECT_EQ(buf[3][0], 4.0);
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(buf[i][1], 5.0 + i) << "imaginary part " << i << " changed";

  apply_win_tbl(buf, win, 0);
  apply_win_tbl(buf, win, -1);
  EXPECT_EQ(buf[0][0], 0.5);
}
