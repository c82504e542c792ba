// The measure: what makes two rows near. Each curve of a row is put on one
// grid of rates, whatever the row's length, and scaled to unit length, so
// that only its shape counts; the curves are then weighted and joined, and
// two rows compare by the cosine of their joined vectors.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "near.hpp"

int vector_size(const measure &m) { return curve_count * m.columns; }

double first_rate(int chunks) {
  // Bins 0 and 1 (the mean and the slowest fluctuation) are set to 0 by
  // bandsway; bin k lies at 4k/n Hz.
  return 8.0 / chunks;
}

void row_vector(const double *values, int chunks, const measure &m,
                vector_value *out) {
  const double xmax = rate_span(chunks);
  const double low = std::max(first_rate(chunks), m.floor_hz);
  double grid[max_columns];
  for (int c = 0; c < curve_count; c++) {
    resample_curve(values + c * curve_points, xmax, m.columns, grid);
    // Below the first rate the curve is the spline's way up from the two
    // zeroed bins; past xmax the row has no rate (NaN); below 0 it is the
    // spline's overshoot: none of them says anything of the file.
    double most = 0;
    for (int i = 0; i < m.columns; i++) {
      const double hz = (i + 0.5) * grid_hz / m.columns;
      if (!(grid[i] > 0) || hz < low)
        grid[i] = 0;
      most = std::max(most, grid[i]);
    }
    vector_value *to = out + c * m.columns;
    if (most == 0) {
      std::fill(to, to + m.columns, 0);
      continue;
    }
    // Divided by the highest value first, so that neither 1e-300 nor
    // 1e100 under- or overflows the sum of squares.
    double squares = 0;
    for (int i = 0; i < m.columns; i++) {
      grid[i] /= most;
      squares += grid[i] * grid[i];
    }
    const double scale = std::sqrt(m.weights[c] / squares) * vector_one;
    for (int i = 0; i < m.columns; i++)
      to[i] = static_cast<vector_value>(std::lround(grid[i] * scale));
  }
}

std::uint32_t dot_product(const vector_value *a, const vector_value *b,
                          int size) {
  // Eight sums side by side, which the compiler keeps in vector registers;
  // unsigned, so that a damaged index only wraps them.
  std::uint32_t sum[8] = {};
  for (int i = 0; i < size; i += 8)
    for (int j = 0; j < 8; j++)
      sum[j] += std::uint32_t{a[i + j]} * b[i + j];
  std::uint32_t total = 0;
  for (const std::uint32_t s : sum)
    total += s;
  return total;
}

double distance_of(std::uint32_t dot) {
  constexpr double one = static_cast<double>(vector_one) * vector_one;
  return std::clamp(1.0 - dot / one, 0.0, 1.0);
}

std::uint64_t measure_code(const measure &m) {
  char bytes[sizeof m.columns + sizeof m.weights + sizeof m.floor_hz];
  std::memcpy(bytes, &m.columns, sizeof m.columns);
  std::memcpy(bytes + sizeof m.columns, m.weights, sizeof m.weights);
  std::memcpy(bytes + sizeof m.columns + sizeof m.weights, &m.floor_hz,
              sizeof m.floor_hz);
  return checksum_of(bytes, sizeof bytes, 0);
}
