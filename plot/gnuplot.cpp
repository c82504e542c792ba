// gnuplot as a child without a shell: the script (and a collection's
// matrix) goes in through a pipe, the picture comes back through another,
// its complaints through a third.
#include <algorithm>
#include <cerrno>
#include <string_view>

#include <sys/wait.h>

#include "plot.hpp"

namespace {

// What of gnuplot's standard error is kept for the message.
constexpr std::size_t max_err_bytes = 8192;

// What gnuplot says in a locale whose character set is not UTF-8 (C, for
// one: cron, env -i) once the script sets its encoding to UTF-8. It is
// about the degree sign, which no picture draws, so it is no failure.
const std::string_view locale_warning =
    "warning: iconv failed to convert degree sign";

// gnuplot's standard error without its lines about the locale.
std::string drop_locale_warnings(const std::string &err) {
  std::string kept;
  for (std::size_t start = 0; start < err.size();) {
    std::size_t end = err.find('\n', start);
    end = end == std::string::npos ? err.size() : end + 1;
    const std::string_view line(err.data() + start, end - start);
    if (line.find(locale_warning) == std::string_view::npos)
      kept += line;
    start = end;
  }
  return kept;
}

// The last line gnuplot wrote that says something, without its indent: its
// message is the last, after an echo of the failed command.
std::string last_line(const std::string &err) {
  std::size_t end = err.size();
  while (end > 0) {
    const std::size_t start = err.rfind('\n', end - 1);
    const std::size_t from = start == std::string::npos ? 0 : start + 1;
    const std::string line = err.substr(from, end - from);
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first != std::string::npos)
      return shown_name(line.substr(first));
    end = start == std::string::npos ? 0 : start;
  }
  return "";
}

} // namespace

namespace {

// Whether a PNG is its signature, then chunks (length, type, data, CRC)
// that fit one after another, from IHDR to an IEND that ends it.
bool png_whole(std::string_view p) {
  if (p.substr(0, 8) != "\x89PNG\r\n\x1a\n" || p.substr(12, 4) != "IHDR")
    return false;
  for (std::uint64_t at = 8; at + 12 <= p.size();) {
    std::uint64_t length = 0;
    for (int i = 0; i < 4; i++)
      length = length << 8 | static_cast<unsigned char>(p[at + i]);
    const std::uint64_t next = at + 12 + length;
    if (p.substr(at + 4, 4) == "IEND")
      return length == 0 && next == p.size();
    at = next;
  }
  return false;
}

} // namespace

bool picture_whole(picture_format format, std::string_view picture) {
  // Each format's first and last bytes, less the blanks that may follow.
  while (!picture.empty() && (picture.back() == '\n' ||
                              picture.back() == '\r' || picture.back() == ' '))
    picture.remove_suffix(1);
  const auto ends = [picture](std::string_view end) {
    return picture.size() >= end.size() &&
           picture.substr(picture.size() - end.size()) == end;
  };
  switch (format) {
  case picture_format::png:
    return png_whole(picture);
  case picture_format::svg:
    return (picture.substr(0, 5) == "<?xml" ||
            picture.substr(0, 4) == "<svg") &&
           ends("</svg>");
  case picture_format::pdf:
    // The trailer: startxref, the offset of the cross-reference, %%EOF.
    return picture.substr(0, 5) == "%PDF-" && ends("%%EOF") &&
           picture.substr(picture.size() -
                          std::min<std::size_t>(picture.size(), 64))
                   .find("startxref") != std::string_view::npos;
  }
  return false;
}

std::string run_gnuplot(const std::string &script, picture_format format,
                        std::string *picture) {
  // -d: no initialisation file of the user's changes the picture. GNUTERM
  // is left out: a terminal that this gnuplot may lack (x11 on gnuplot-nox)
  // fails its start-up and garbles the script, though the script sets its
  // own terminal.
  child_spec spec;
  spec.argv = {"gnuplot", "-d"};
  spec.unset = {"GNUTERM"};
  child_output got;
  const int status = run_child(spec, script, &got, max_err_bytes);
  if (status == -1 && errno == ENOENT)
    return "gnuplot is not on the PATH";
  if (status == -1)
    return "cannot run gnuplot: " + error_text(errno);
  picture->swap(got.out);
  const std::string complaints = drop_locale_warnings(got.err);
  if (WIFSIGNALED(status))
    return "gnuplot " + status_text(status);
  if (WEXITSTATUS(status) != 0) {
    const std::string why = last_line(complaints);
    return "gnuplot failed: " +
           (why.empty() ? "status " + std::to_string(WEXITSTATUS(status))
                        : why);
  }
  if (!picture_whole(format, *picture)) {
    const std::string why = last_line(complaints);
    return "gnuplot wrote no whole picture (" +
           std::to_string(picture->size()) + " bytes)" +
           (why.empty() ? "" : ": " + why);
  }
  // What it says beside a whole picture (a missing font, say) is passed on.
  for (std::size_t from = 0; from < complaints.size();) {
    std::size_t end = complaints.find('\n', from);
    if (end == std::string::npos)
      end = complaints.size();
    const std::string line = last_line(complaints.substr(from, end - from));
    if (!line.empty())
      say("gnuplot: " + line);
    from = end + 1;
  }
  return "";
}
