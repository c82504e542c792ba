// The companions' library: names in messages, the table format, atomic
// replacement, children and descriptor I/O.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "companion.hpp"
#include "helpers.hpp"

const char *const prog_name = "unit_tests";

TEST(ShownName, NothingAnEscapeSequenceNeedsReachesATerminal) {
  const struct {
    std::string raw, escaped, shown;
  } cases[] = {
      {"plain/name.wav", "plain/name.wav", "plain/name.wav"},
      {"tab\there", "tab\\there", "tab\\there"},
      {"new\nline", "new\\nline", "new\\nline"},
      {"back\\slash\\t", "back\\\\slash\\\\t", "back\\\\slash\\\\t"},
      {"esc\033]0;title\007.wav", "esc\033]0;title\007.wav",
       "esc\\x1b]0;title\\x07.wav"},
      {"del\177 and Bj\303\266rk", "del\177 and Bj\303\266rk",
       "del\\x7f and Bj\303\266rk"},
      // C1 controls in UTF-8 (CSI, OSC) and as raw bytes, which xterm and
      // VTE act on; U+00A0 is the first character past them.
      {"csi\302\233 osc\302\235 nbsp\302\240",
       "csi\302\233 osc\302\235 nbsp\302\240",
       "csi\\xc2\\x9b osc\\xc2\\x9d nbsp\302\240"},
      {"raw\233\235", "raw\233\235", "raw\\x9b\\x9d"},
      // Bytes that are no UTF-8: a lone continuation, an overlong slash, a
      // surrogate, a character cut at the end.
      {"\200\300\257\355\240\200\342\202", "\200\300\257\355\240\200\342\202",
       "\\x80\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82"},
      {"\360\237\216\265.flac", "\360\237\216\265.flac",
       "\360\237\216\265.flac"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(escape_path(c.raw), c.escaped) << c.raw;
    EXPECT_EQ(unescape_path(c.escaped), c.raw) << c.raw;
    EXPECT_EQ(shown_name(c.escaped), c.shown) << c.raw;
  }
  EXPECT_EQ(quote("a\\b\n"), "\"a\\b\\x0a\"");
  EXPECT_EQ(quote(std::string(50, 'x')), "\"" + std::string(40, 'x') + "...\"");
}

TEST(TableFormat, ValuesAndTheirFaults) {
  struct {
    const char *text;
    double want;
    const char *fault; // "" when the value is taken
  } const rows[] = {
      {"1.5", 1.5, ""},
      {"+2e3", 2000, ""},
      {".5", 0.5, ""},
      {"-5.", -5, ""},
      {"1e-400", 0, ""},
      {"1e100", 1e100, ""},
      {"nan", 0, "x is not a number: \"nan\""},
      {"inf", 0, "x is not a number"},
      {"0x10", 0, "x is not a number"},
      {"1e", 0, "x is not a number"},
      {" 1", 0, "x is not a number"},
      {"", 0, "x is not a number: \"\""},
      {"1e999", 0, "x is not a finite number"},
      {"-1e308", 0, "x is out of range (beyond 1e100)"},
  };
  for (const auto &r : rows) {
    double v = -7;
    const std::string why = parse_value(r.text, "x", &v);
    if (*r.fault == '\0') {
      EXPECT_EQ(why, "") << r.text;
      EXPECT_DOUBLE_EQ(v, r.want) << r.text;
    } else {
      EXPECT_EQ(why.rfind(r.fault, 0), 0U) << r.text << ": " << why;
      EXPECT_EQ(v, -7) << r.text;
    }
  }
  // Every value comes out as strtod reads it, to the last bit: those the
  // quick path takes (up to 15 digits, powers of ten within 10^22) and
  // those past it, as bandsway and spline print them and otherwise.
  std::mt19937_64 rng(21);
  const char *formats[] = {"%g", "%.6f", "%.15g", "%.17g", "%e", "%.3e"};
  for (int i = 0; i < 300000; i++) {
    const double x =
        std::ldexp(static_cast<double>(rng() >> 11) / 9007199254740992.0,
                   static_cast<int>(rng() % 160) - 100) *
        (rng() % 2 ? 1 : -1);
    char text[64];
    std::snprintf(text, sizeof text, formats[i % 6], x);
    double v = 0;
    ASSERT_EQ(parse_value(text, "x", &v), "") << text;
    const double want = std::strtod(text, nullptr);
    ASSERT_EQ(std::memcmp(&v, &want, sizeof v), 0) << text << " " << v;
  }
}

TEST(TableFormat, Rows) {
  std::string values;
  for (int i = 0; i < row_values; i++)
    values += "\t" + std::to_string(i);
  struct {
    std::string line;
    const char *fault;
  } const rows[] = {
      {"a/b\t80" + values, ""},
      {"a/b\t80" + values + "\t1", "line 3: 771 tab-separated fields"},
      {"a/b\t80\t1", "line 3: 3 tab-separated fields"},
      {"\t80" + values, "line 3: the path is empty"},
      {"a\t3" + values, "line 3: the chunk count is not a whole number"},
      {"a\t65537" + values, "line 3: the chunk count is not a whole number"},
      {"a\t8x" + values, "line 3: the chunk count is not a whole number"},
      {"a\t80" + values.substr(0, values.size() - 3) + "1e999",
       "line 3, value 768 is not a finite number"},
  };
  for (const auto &r : rows) {
    parsed_row row;
    const std::string why = parse_row(r.line, 3, &row);
    EXPECT_EQ(why.rfind(r.fault, 0), 0U) << why;
    if (*r.fault == '\0') {
      EXPECT_EQ(row.path, "a/b");
      EXPECT_EQ(row.chunks, 80);
      EXPECT_EQ(row.values[767], 767);
    }
  }
  EXPECT_DOUBLE_EQ(rate_span(80), 4.0 * 39 / 80);
  EXPECT_DOUBLE_EQ(rate_span(5), 0.8);
}

TEST(TableFormat, SpreadsheetLinesAndHeaders) {
  EXPECT_EQ(plain_line("\xef\xbb\xbfpath\tchunks\r", true), "path\tchunks");
  EXPECT_EQ(plain_line("\xef\xbb\xbfpath", false), "\xef\xbb\xbfpath");
  EXPECT_EQ(plain_line("a\r\r", false), "a\r");
  EXPECT_TRUE(is_header(table_header()));
  EXPECT_TRUE(is_header("path\tchunks\tsum_000\tsum_0"));
  // A table saved with a byte order mark, then joined with cat: the mark
  // starts its header in the middle too.
  EXPECT_TRUE(is_header("\xef\xbb\xbf" + table_header()));
  EXPECT_FALSE(is_header("path\tchunks\t"));
  EXPECT_NE(table_header().find("\tsum_255\ttilt_000\ttilt_001\t"),
            std::string::npos);
  EXPECT_EQ(table_header().substr(table_header().size() - 8), "\talt_255");
}

// A file replaced through a temporary file beside it: its mode kept, a
// name as long as a folder allows, nothing left behind on failure.
TEST(ReplaceFile, WholeOrNotAtAll) {
  const std::string dir = make_temp_dir();
  const std::string longest = dir + "/" + std::string(NAME_MAX, 'n');
  const std::string kept = dir + "/kept";
  write_file(kept, {'o', 'l', 'd'});
  ASSERT_EQ(chmod(kept.c_str(), 0604), 0);
  for (const std::string &target : {longest, kept}) {
    replacement r;
    ASSERT_EQ(start_replace(&r, target), "") << target.size();
    ASSERT_EQ(write_all(r.fd, "new"), 0);
    ASSERT_EQ(finish_replace(&r), "");
    EXPECT_EQ(read_file(target), "new");
  }
  struct stat st {};
  ASSERT_EQ(stat(kept.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604U);
  replacement r;
  ASSERT_EQ(start_replace(&r, kept), "");
  drop_replace(&r);
  // A target that a rename cannot replace (a folder) fails and leaves no
  // temporary file.
  const std::string folder = dir + "/folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((folder + "/x").c_str(), 0700), 0);
  ASSERT_EQ(start_replace(&r, folder), "");
  EXPECT_NE(finish_replace(&r), "");
  EXPECT_EQ(start_replace(&r, dir + "/none/x"), "No such file or directory");
  EXPECT_EQ(std::system(("[ $(ls -A '" + dir + "' | wc -l) -eq 3 ]").c_str()),
            0)
      << "a temporary file was left";
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(RunChild, FeedsAndGathersWithoutBlocking) {
  // More than a pipe holds each way: a pump that wrote all before reading
  // would block with the child.
  const std::string input(1 << 20, 'x');
  child_output got;
  child_spec cat;
  cat.argv = {"cat"};
  int status = run_child(cat, input, &got, 10);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(got.out, input);
  child_spec noisy;
  noisy.argv = {"sh", "-c", "echo 1234567890abc >&2; exit 3"};
  status = run_child(noisy, "", &got, 10);
  EXPECT_EQ(status_text(status), "exited with status 3");
  EXPECT_EQ(got.err, "1234567890");
  child_spec missing;
  missing.argv = {"no-such-program-here"};
  EXPECT_EQ(run_child(missing, "", &got, 10), -1);
  EXPECT_EQ(errno, ENOENT);
  // A variable left out of the child's environment.
  setenv("BANDSWAY_TEST_VAR", "1", 1);
  child_spec env;
  env.argv = {"sh", "-c", "echo ${BANDSWAY_TEST_VAR-unset}"};
  env.unset = {"BANDSWAY_TEST_VA", "BANDSWAY_TEST_VAR"};
  EXPECT_EQ(run_child(env, "", &got, 10), 0);
  EXPECT_EQ(got.out, "unset\n");
  unsetenv("BANDSWAY_TEST_VAR");
}

TEST(FdIo, NonBlockingPipesAreWaitedOn) {
  // Standard input or output shared with a process that made it
  // non-blocking: more than a pipe holds goes through, neither side fails.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  for (const int fd : p)
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
  const std::string sent(1 << 20, 'x');
  std::string got;
  std::thread reader([&got, fd = p[0]] {
    char buf[4096];
    for (ssize_t n; (n = read_some(fd, buf, sizeof buf)) > 0;)
      got.append(buf, static_cast<std::size_t>(n));
  });
  EXPECT_EQ(write_all(p[1], sent), 0);
  close(p[1]);
  reader.join();
  close(p[0]);
  EXPECT_EQ(got.size(), sent.size());
}
