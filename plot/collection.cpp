// The collection's order and its averaging into pixel rows.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "plot.hpp"

std::vector<std::uint32_t> rank_rows(const std::vector<float> &keys) {
  std::vector<std::uint32_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0U);
  std::stable_sort(
      order.begin(), order.end(),
      [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
  std::vector<std::uint32_t> ranks(keys.size());
  for (std::size_t r = 0; r < order.size(); r++)
    ranks[order[r]] = static_cast<std::uint32_t>(r);
  return ranks;
}

int picture_rows(long rows) {
  return static_cast<int>(std::min<long>(rows, pixel_rows));
}

int pixel_row_of(long rank, long rows) {
  if (rows <= pixel_rows)
    return static_cast<int>(rank);
  // 64 bits: rank * pixel_rows passes 2^31 from 3 million rows.
  return static_cast<int>(static_cast<long long>(rank) * pixel_rows / rows);
}

void start_average(row_average *avg, int height) {
  avg->height = height;
  avg->sum.assign(static_cast<std::size_t>(height) * grid_values, 0.0);
  avg->count.assign(static_cast<std::size_t>(height) * grid_values, 0);
}

void add_to_average(row_average *avg, int p, const float *grid) {
  const std::size_t base = static_cast<std::size_t>(p) * grid_values;
  for (int i = 0; i < grid_values; i++) {
    if (std::isnan(grid[i]))
      continue;
    avg->sum[base + i] += grid[i];
    avg->count[base + i]++;
  }
}

std::vector<float> finish_average(const row_average &avg) {
  // gnuplot takes each panel as one matrix, row after row.
  const std::size_t h = static_cast<std::size_t>(avg.height);
  std::vector<float> m(h * grid_values);
  for (std::size_t p = 0; p < h; p++)
    for (int k = 0; k < curve_count; k++)
      for (int c = 0; c < grid_columns; c++) {
        const std::size_t from =
            p * grid_values + static_cast<std::size_t>(k) * grid_columns + c;
        const std::size_t to = (k * h + p) * grid_columns + c;
        m[to] = avg.count[from] == 0
                    ? std::nanf("")
                    : static_cast<float>(avg.sum[from] / avg.count[from]);
      }
  return m;
}
