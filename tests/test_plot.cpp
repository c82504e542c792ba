// bandsway-plot's logic: numbers, rows, names, the rate grid, the order
// and the averaging of a collection, and its reads and writes.
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "plot.hpp"

TEST(PlotParse, CurvesInput) {
  std::string lines;
  for (int i = 0; i < row_values; i++)
    lines += "1\n";
  curves c;
  EXPECT_EQ(parse_curves(lines + "\n\n", &c), "");
  EXPECT_DOUBLE_EQ(c.xmax, 2.0 * 255 / 256);
  EXPECT_EQ(parse_curves("path\tchunks\tsum_000\n", &c),
            "no row after the header line");
  EXPECT_EQ(parse_curves("1\n\n2\n", &c), "line 2 is empty");
  EXPECT_EQ(parse_curves(lines + "1\n", &c),
            "more than 768 values; stopped at line 769");
}

TEST(PlotParse, NamesForDisplay) {
  struct {
    const char *path;
    std::size_t max;
    const char *want;
  } const rows[] = {
      {"/music/Bj\303\266rk.flac", 60, "Bj\303\266rk.flac"},
      {"a\\tb\\nc", 60, "a b c"},
      {"a\\\\b", 60, "a\\\\b"},
      {"bad\377\001.wav", 60, "bad??.wav"},
      {"\300\257overlong", 60, "??overlong"},
      {"dir/", 60, "dir/"},
      {"abcdefghijkl", 10, "abcdefg..."},
      {"abcdef\\\\ghi", 10, "abcdef..."},
      {"\303\266\303\266\303\266\303\266\303\266", 4, "\303\266..."},
  };
  for (const auto &r : rows)
    EXPECT_EQ(display_name(r.path, r.max), r.want) << r.path;
}

TEST(PlotCollection, KeyAndGrid) {
  std::vector<double> v(row_values, 0.0);
  v[1] = 99; // below peak_from: neither key nor peak
  v[100] = 4;
  v[200] = 2;
  EXPECT_FLOAT_EQ(peak_rate(v.data(), 1.0), 100.0F / 255);
  for (int j = 0; j < curve_points; j++)
    v[curve_points + j] = -1; // tilt: no positive peak
  std::vector<float> grid(grid_values);
  resample_row(v.data(), 1.0, grid.data());
  // Columns are 1/128 Hz wide. Column 50 holds point 100 (0.392 Hz)
  // whole, scaled to 1; column 100 holds point 200 at half the peak.
  EXPECT_FLOAT_EQ(grid[50], 1);
  EXPECT_FLOAT_EQ(grid[100], 0.5);
  EXPECT_FLOAT_EQ(grid[0], 1); // 99 is clamped
  EXPECT_FLOAT_EQ(grid[grid_columns + 10], 0);
  // Columns past 1 Hz are blank.
  EXPECT_FALSE(std::isnan(grid[127]));
  EXPECT_TRUE(std::isnan(grid[128]));
  std::vector<std::uint16_t> packed(grid_values);
  std::vector<float> back(grid_values);
  grid[3] = 0.3F;
  pack_row(grid.data(), packed.data());
  unpack_row(packed.data(), back.data());
  EXPECT_NEAR(back[3], 0.3F, 1e-5);
  EXPECT_TRUE(std::isnan(back[128]));
}

TEST(PlotCollection, OrderAndAveraging) {
  EXPECT_EQ(rank_rows({0.5F, 0.1F, 0.5F, 0.2F}),
            (std::vector<std::uint32_t>{2, 0, 3, 1}));
  struct {
    long rank, rows;
    int pixel;
  } const rows[] = {{0, 1, 0},
                    {59, 60, 59},
                    {1, 1440, 0},
                    {1439, 1440, 719},
                    {3, 2 * pixel_rows, 1},
                    {4999999999L / 2, 5000000000L, 359}};
  for (const auto &r : rows)
    EXPECT_EQ(pixel_row_of(r.rank, r.rows), r.pixel) << r.rank << " " << r.rows;
  EXPECT_EQ(picture_rows(5), 5);
  EXPECT_EQ(picture_rows(100000), pixel_rows);
  row_average avg;
  start_average(&avg, 2);
  std::vector<float> a(grid_values, 1.0F);
  std::vector<float> b(grid_values, 0.0F);
  a[5] = b[5] = std::nanf("");
  b[6] = std::nanf("");
  add_to_average(&avg, 1, a.data());
  add_to_average(&avg, 1, b.data());
  const std::vector<float> m = finish_average(avg);
  // Panel by panel: sum's pixel row 1 starts at grid_columns.
  EXPECT_TRUE(std::isnan(m[0]));                  // no row in pixel row 0
  EXPECT_FLOAT_EQ(m[grid_columns + 4], 0.5F);     // the mean of 1 and 0
  EXPECT_TRUE(std::isnan(m[grid_columns + 5]));   // blank in both
  EXPECT_FLOAT_EQ(m[grid_columns + 6], 1.0F);     // blank in one
  EXPECT_FLOAT_EQ(m[3 * grid_columns + 4], 0.5F); // tilt's pixel row 1
}
