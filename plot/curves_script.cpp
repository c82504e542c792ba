// The gnuplot script for one file's curves: three panels, sum, tilt and
// alt, one above the other, with the data inline.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "plot.hpp"

namespace {

constexpr int curves_width = 800;
constexpr int curves_height = 900;

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

// The y range of one curve, set here rather than by gnuplot's autoscale,
// which refuses a flat curve ("empty y range") and misjudges one whose
// spread is lost in the precision of its size.
std::string y_range(const double *v) {
  const double lo = *std::min_element(v, v + curve_points);
  const double hi = *std::max_element(v, v + curve_points);
  const double size = std::max(std::fabs(lo), std::fabs(hi));
  const bool flat = hi - lo <= 1e-9 * size || hi - lo < 1e-200;
  const double mid = (lo + hi) / 2;
  const double half =
      flat ? (mid == 0 ? 1 : std::fabs(mid) * 0.01) : (hi - lo) * 0.55;
  const double from = mid - half;
  const double to = mid + half;
  return "set yrange [" + number(from) + ":" + number(to) + "]\n";
}

} // namespace

std::string gnuplot_string(std::string_view s) {
  std::string q = "'";
  for (const char c : s)
    q += c == '\'' ? std::string("''") : std::string(1, c);
  return q + "'";
}

std::string terminal_line(picture_format format, int w, int h) {
  const std::string size = std::to_string(w) + "," + std::to_string(h);
  switch (format) {
  case picture_format::png:
    break;
  case picture_format::svg:
    return "set terminal svg size " + size +
           " font 'Sans,11' noenhanced background '#ffffff'\n";
  case picture_format::pdf:
    // The PNG's layout at 72 pixels to the inch, where a point is a pixel,
    // so that the text keeps its size to the picture.
    return "set terminal pdfcairo size " + number(w / 72.0) + "in," +
           number(h / 72.0) + "in font 'Sans,10' fontscale 1 noenhanced\n";
  }
  return "set terminal pngcairo size " + size + " font 'Sans,10' noenhanced\n";
}

std::string curves_script(const curves &c, picture_format format) {
  std::string s = terminal_line(format, curves_width, curves_height);
  // One left margin for all three, so that their axes line up.
  s += "set encoding utf8\nunset key\nset lmargin 11\n";
  // A light grid that every terminal draws alike.
  s += "set grid linetype 1 linewidth 0.5 linecolor rgb '#d8d8d8'\n";
  s += "set multiplot layout 3,1";
  if (c.from_row)
    s += " title " + gnuplot_string(c.title);
  s += "\n";
  // The 768 lines carry no rate span: drawn up to 2 Hz as they come.
  s += "set xrange [0:" + number(c.from_row ? c.xmax : grid_hz) + "]\n";
  s += "set xlabel 'fluctuation rate (Hz)'\n";
  for (int k = 0; k < curve_count; k++) {
    const double *v =
        c.values.data() + static_cast<std::ptrdiff_t>(k) * curve_points;
    s += "set title '" + std::string(curve_names[k]) + "'\n";
    s += y_range(v);
    s += "plot '-' using 1:2 notitle with lines linewidth 1.5 linecolor rgb "
         "'#1f4e9e'\n";
    for (int j = 0; j < curve_points; j++)
      s += number(j * c.xmax / (curve_points - 1)) + " " + number(v[j]) + "\n";
    s += "e\n";
  }
  return s + "unset multiplot\n";
}
