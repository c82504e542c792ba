// The measure: what makes two rows near. Each curve of a row is put on one
// grid of rates, whatever the row's length, and scaled to unit length, so
// that only its shape counts; the curves are then weighted and joined, and
// two rows compare by the cosine of their joined vectors.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <numeric>

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
  double grid[curve_count][max_columns] = {};
  if (m.pooled) {
    // Each column gathers the curve's own points, each at its own rate,
    // under a triangle two columns wide: a peak whose rate moves by a hair
    // (a row and bandsway's lines for the same file may lie on axes 0.2%
    // apart) moves its weight by a hair. Gathering a grid of fine columns
    // instead snapped each peak to one, and a hair moved it a whole fine
    // column: a file's own row came third.
    const double per_hz = m.columns / grid_hz;
    for (int j = 0; j < curve_points; j++) {
      const double hz = j * xmax / (curve_points - 1);
      // Below the first rate the curve is the spline's way up from the
      // two zeroed bins; below 0 it is the spline's overshoot: neither
      // says anything of the file.
      if (hz < low)
        continue;
      // The two columns whose triangles cover this rate.
      const double at = hz * per_hz - 0.5;
      const int k = static_cast<int>(std::floor(at));
      const double f = at - k;
      for (int c = 0; c < curve_count; c++) {
        const double v =
            values[static_cast<std::ptrdiff_t>(c) * curve_points + j];
        if (!(v > 0))
          continue;
        if (k >= 0)
          grid[c][k] += v * (1 - f);
        if (k + 1 < m.columns)
          grid[c][k + 1] += v * f;
      }
    }
  } else {
    for (int c = 0; c < curve_count; c++) {
      double *g = grid[c];
      resample_curve(values + static_cast<std::ptrdiff_t>(c) * curve_points,
                     xmax, m.columns, g);
      // Past xmax the row has no rate (NaN).
      const double step = grid_hz / m.columns;
      for (int i = 0; i < m.columns; i++)
        if (!(g[i] > 0) || (i + 0.5) * step < low)
          g[i] = 0;
    }
  }
  for (int c = 0; c < curve_count; c++) {
    double *g = grid[c];
    vector_value *to = out + static_cast<std::ptrdiff_t>(c) * m.columns;
    const double most = *std::max_element(g, g + m.columns);
    if (most == 0) {
      std::fill(to, to + m.columns, 0);
      continue;
    }
    // Divided by the highest value first, so that neither 1e-300 nor
    // 1e100 under- or overflows the sum of squares.
    double squares = 0;
    for (int i = 0; i < m.columns; i++) {
      g[i] /= most;
      squares += g[i] * g[i];
    }
    const double scale = std::sqrt(m.weights[c] / squares) * vector_one;
    for (int i = 0; i < m.columns; i++)
      to[i] = static_cast<vector_value>(std::lround(g[i] * scale));
  }
}

std::uint32_t dot_product(const vector_value *a, const vector_value *b,
                          int size) {
  // Eight sums side by side, which the compiler keeps in vector registers;
  // unsigned, so that a damaged index only wraps them.
  std::uint32_t sum[8] = {};
  for (int i = 0; i < size; i += 8)
    for (int j = 0; j < 8; j++)
      sum[j] += static_cast<std::uint32_t>(a[i + j]) * b[i + j];
  return std::accumulate(std::begin(sum), std::end(sum), std::uint32_t{0});
}

double distance_of(std::uint32_t dot) {
  constexpr double one = static_cast<double>(vector_one) * vector_one;
  return std::clamp(1.0 - dot / one, 0.0, 1.0);
}

std::uint64_t measure_code(const measure &m) {
  char bytes[sizeof m.columns + sizeof m.weights + sizeof m.floor_hz + 1];
  std::memcpy(bytes, &m.columns, sizeof m.columns);
  std::memcpy(bytes + sizeof m.columns, m.weights, sizeof m.weights);
  std::memcpy(bytes + sizeof m.columns + sizeof m.weights, &m.floor_hz,
              sizeof m.floor_hz);
  bytes[sizeof bytes - 1] = m.pooled ? 1 : 0;
  return checksum_of(bytes, sizeof bytes, 0);
}
