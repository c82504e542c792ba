// Leave-one-out over a table of recordings with known pulse rates (the
// rate is the part of each path that ends in "Hz", e.g. gen/0.75Hz/...):
// for each row, are its nearest rows of the same rate? Prints P@1 and P@5,
// and the distances within a rate and across rates, for the measure that
// bandsway-near uses and for the alternatives it was chosen against.
//
// usage: near_eval TABLE [COLUMNS:SUM:TILT:ALT:FLOOR_HZ ...]
// Each extra argument is one more measure to try; with NEAR_EVAL_MISSES
// set, the rows whose 5 nearest include another rate are listed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "near.hpp"

const char *const prog_name = "near_eval";

namespace {

struct variant {
  const char *name;
  measure m;
};

std::string rate_of(std::string_view path) {
  const std::size_t hz = path.find("Hz/");
  const std::size_t slash = path.rfind('/', hz);
  if (hz == std::string_view::npos || slash == std::string_view::npos)
    return "";
  return std::string(path.substr(slash + 1, hz - slash - 1));
}

struct figures {
  double p1 = 0;
  double p5 = 0;
  double same = 0;  // the mean distance to the nearest row of the same rate
  double other = 0; // and to the nearest of another
  long misses = 0;
};

figures leave_one_out(const near_table &t) {
  const auto n = static_cast<std::size_t>(t.rows);
  const int size = curve_count * t.columns;
  std::vector<std::string> rates(n);
  std::vector<std::vector<vector_value>> v(n);
  for (std::size_t i = 0; i < n; i++) {
    rates[i] = rate_of(path_of(t, i));
    copy_vector(t, i, &v[i]);
  }
  figures f;
  for (std::size_t i = 0; i < n; i++) {
    std::vector<std::pair<double, std::size_t>> d;
    for (std::size_t j = 0; j < n; j++)
      if (j != i)
        d.emplace_back(distance_of(dot_product(v[i].data(), v[j].data(), size)),
                       j);
    std::sort(d.begin(), d.end());
    if (d.empty())
      continue;
    f.p1 += rates[d[0].second] == rates[i];
    int hits = 0;
    for (std::size_t r = 0; r < 5 && r < d.size(); r++)
      hits += rates[d[r].second] == rates[i];
    f.p5 += hits / 5.0;
    f.misses += 5 - hits;
    if (hits < 5 && std::getenv("NEAR_EVAL_MISSES") != nullptr) {
      std::printf("  %s:", std::string(path_of(t, i)).c_str());
      for (std::size_t r = 0; r < 5; r++)
        if (rates[d[r].second] != rates[i])
          std::printf(" %zu. %s %.3f", r + 1,
                      std::string(path_of(t, d[r].second)).c_str(), d[r].first);
      std::printf("\n");
    }
    bool same = false;
    bool other = false;
    for (const auto &[dist, j] : d) {
      if (!same && rates[j] == rates[i]) {
        f.same += dist;
        same = true;
      }
      if (!other && rates[j] != rates[i]) {
        f.other += dist;
        other = true;
      }
    }
  }
  f.p1 /= static_cast<double>(n);
  f.p5 /= static_cast<double>(n);
  f.same /= static_cast<double>(n);
  f.other /= static_cast<double>(n);
  return f;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(
        stderr, "usage: near_eval TABLE [COLUMNS:SUM:TILT:ALT:FLOOR_HZ ...]\n");
    return 2;
  }
  const measure chosen;
  std::vector<variant> variants;
  variants.push_back({"chosen: 64 columns, weights .8 .1 .1", chosen});
  measure m = chosen;
  for (const int columns : {256, 128, 32}) {
    m.columns = columns;
    variants.push_back({columns == 256   ? "256 columns"
                        : columns == 128 ? "128 columns"
                                         : "32 columns",
                        m});
  }
  const struct {
    const char *name;
    double sum, tilt, alt;
  } weights[] = {{"weights 1/3 each", 1.0 / 3, 1.0 / 3, 1.0 / 3},
                 {"weights .5 .25 .25", 0.5, 0.25, 0.25},
                 {"weights .7 .15 .15", 0.7, 0.15, 0.15},
                 {"weights .9 .05 .05", 0.9, 0.05, 0.05},
                 {"sum alone", 1, 0, 0}};
  for (const auto &w : weights) {
    m = chosen;
    m.weights[0] = w.sum;
    m.weights[1] = w.tilt;
    m.weights[2] = w.alt;
    variants.push_back({w.name, m});
  }
  m = chosen;
  m.floor_hz = 0.25;
  variants.push_back({"no rate below 0.25 Hz", m});
  m = chosen;
  m.pooled = false;
  variants.push_back({"64 columns, the highest point in each", m});
  std::vector<std::string> names(argv + 2, argv + argc);
  for (const std::string &a : names) {
    m = chosen;
    int pooled = 1;
    if (std::sscanf(a.c_str(), "%d:%lf:%lf:%lf:%lf:%d", &m.columns,
                    &m.weights[0], &m.weights[1], &m.weights[2], &m.floor_hz,
                    &pooled) < 5 ||
        m.columns < 8 || m.columns > max_columns || m.columns % 8 != 0) {
      std::fprintf(stderr,
                   "near_eval: not COLUMNS:SUM:TILT:ALT:FLOOR_HZ "
                   "(columns a multiple of 8 up to 256): %s\n",
                   a.c_str());
      return 2;
    }
    m.pooled = pooled != 0;
    variants.push_back({a.c_str(), m});
  }

  std::printf("%-42s %6s %6s %8s %8s %6s\n", "measure", "P@1", "P@5", "d(same)",
              "d(other)", "misses");
  for (const variant &v : variants) {
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
      std::perror("near_eval: open");
      return 1;
    }
    near_table t;
    const std::string why = read_table(fd, argv[1], v.m, 0, &t);
    close(fd);
    if (!why.empty() || t.damaged > 0 || t.rows < 6) {
      std::fprintf(stderr, "near_eval: %s: %s\n", argv[1],
                   why.empty() ? "damaged rows, or too few" : why.c_str());
      return 1;
    }
    const figures f = leave_one_out(t);
    std::printf("%-42s %6.3f %6.3f %8.4f %8.4f %6ld\n", v.name, f.p1, f.p5,
                f.same, f.other, f.misses);
  }
  return 0;
}
