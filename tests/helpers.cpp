#include "helpers.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int n_chunk = 11025;
constexpr double pi = 3.14159265358979323846;

struct lcg {
  std::uint32_t s;
  double next() { // uniform in [-1, 1)
    s = s * 1664525u + 1013904223u;
    return static_cast<double>(s >> 8) / 8388608.0 - 1.0;
  }
};

std::int16_t clip16(double v) {
  return static_cast<std::int16_t>(
      std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
}

void put16(bytes &out, std::int16_t v) {
  const auto u = static_cast<std::uint16_t>(v);
  out.push_back(static_cast<unsigned char>(u & 0xff));
  out.push_back(static_cast<unsigned char>(u >> 8));
}

// Window value as written down: half a raised cosine over 6.283 radians.
double window(int i, int n) {
  return 0.5 - 0.5 * std::cos(6.283 * static_cast<double>(i) / n);
}

// |bin k|^2 of a real sequence by a direct sum with exact twiddles.
double power_at(const std::vector<double> &x, long k, const double *cos_t,
                const double *sin_t) {
  const long n = static_cast<long>(x.size());
  double re = 0.0, im = 0.0;
  long idx = 0;
  for (long j = 0; j < n; j++) {
    re += x[j] * cos_t[idx];
    im -= x[j] * sin_t[idx];
    idx += k;
    if (idx >= n)
      idx -= n;
  }
  return re * re + im * im;
}

} // namespace

std::string make_temp_dir() {
  const char *base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base ? base : "/tmp") + "/bandsway-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

void write_file(const std::string &path, const bytes &data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(data.data()),
          static_cast<std::streamsize>(data.size()));
  if (!f)
    throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  if (!f)
    return "<missing " + path + ">";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bytes noise_pcm(std::uint32_t seed, long frames, double (*gain)(long chunk)) {
  lcg rng{seed};
  lcg mix_rng{seed ^ 0x9e3779b9u};
  bytes out;
  out.reserve(static_cast<std::size_t>(frames) * 4);
  double smooth = 0.0;
  double mix = 0.5;
  for (long f = 0; f < frames; f++) {
    if (f % n_chunk == 0)
      mix = 0.5 + 0.5 * mix_rng.next();
    const double white = rng.next();
    smooth += 0.05 * (white - smooth); // a one-pole low-pass: bass-heavy
    const double g = gain(f / n_chunk);
    const double v = g * ((1.0 - mix) * white + mix * 6.0 * smooth);
    put16(out, clip16(v));
    put16(out, clip16(0.5 * v + 300.0 * rng.next()));
  }
  return out;
}

stdin_from::stdin_from(const std::string &path) : saved_(dup(0)) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0 || saved_ < 0 || dup2(fd, 0) < 0)
    throw std::runtime_error("cannot redirect stdin from " + path);
  close(fd);
}

stdin_from::~stdin_from() {
  dup2(saved_, 0);
  close(saved_);
}

run_result run_bandsway(const std::string &stdin_path, const std::string &path,
                        const std::vector<std::string> &env,
                        const char *stdout_to, const run_opts &opts) {
  const std::string dir = make_temp_dir();
  const std::string err_path = dir + "/err";
  const bool no_out = std::strcmp(stdout_to, closed) == 0;
  const bool broken = std::strcmp(stdout_to, broken_pipe) == 0;
  const std::string out_path = *stdout_to != '\0' && !no_out && !broken
                                   ? std::string(stdout_to)
                                   : dir + "/out";
  std::vector<char *> argv{const_cast<char *>("bandsway")};
  for (const std::string &a : opts.args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  const passwd *nobody = opts.as_nobody ? getpwnam("nobody") : nullptr;
  const pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    const bool no_in = stdin_path == closed;
    const int in = no_in ? 0 : open(stdin_path.c_str(), O_RDONLY | O_NOCTTY);
    int out = -1;
    int ends[2] = {-1, -1};
    if (broken && pipe(ends) == 0) {
      close(ends[0]);
      out = ends[1];
    } else if (!broken) {
      out = open(out_path.c_str(), opts.out_flags, 0600);
    }
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0)
      _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (no_in)
      close(0);
    if (no_out)
      close(1);
    setenv("PATH", path.c_str(), 1);
    for (const std::string &kv : env)
      putenv(const_cast<char *>(kv.c_str()));
    if (opts.fsize_limit >= 0) {
      const rlimit lim{static_cast<rlim_t>(opts.fsize_limit),
                       static_cast<rlim_t>(opts.fsize_limit)};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
        _exit(126);
    }
    if (opts.ignore_sigxfsz)
      signal(SIGXFSZ, SIG_IGN);
    if (opts.ignore_sigpipe)
      signal(SIGPIPE, SIG_IGN);
    if (opts.as_nobody && geteuid() == 0) {
      if (nobody == nullptr || setgroups(0, nullptr) != 0 ||
          setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0 ||
          access(BANDSWAY_BIN, X_OK) != 0)
        _exit(124);
    }
    execv(BANDSWAY_BIN, argv.data());
    _exit(125);
  }
  int status = 0;
  bool hung = false;
  for (int waited_ms = 0;; waited_ms += 10) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid)
      break;
    if (waited_ms >= 120000 && !hung) {
      hung = true;
      kill(pid, SIGKILL);
    }
    usleep(10000);
  }
  struct stat st {};
  const bool regular = stat(out_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  run_result r{status, regular ? read_file(out_path) : "", read_file(err_path),
               hung};
  std::remove((dir + "/out").c_str());
  std::remove(err_path.c_str());
  rmdir(dir.c_str());
  return r;
}

ref_series reference_series(const bytes &pcm) {
  std::vector<double> cos_t(n_chunk), sin_t(n_chunk), w(n_chunk);
  for (int j = 0; j < n_chunk; j++) {
    cos_t[j] = std::cos(2.0 * pi * j / n_chunk);
    sin_t[j] = std::sin(2.0 * pi * j / n_chunk);
    w[j] = window(j, n_chunk);
  }
  ref_series r;
  const std::size_t chunks = pcm.size() / (4 * n_chunk);
  std::vector<double> x(n_chunk);
  for (std::size_t c = 0; c < chunks; c++) {
    const unsigned char *p = pcm.data() + c * 4 * n_chunk;
    for (int j = 0; j < n_chunk; j++) {
      const int a = static_cast<std::int16_t>(p[4 * j] | (p[4 * j + 1] << 8));
      const int b =
          static_cast<std::int16_t>(p[4 * j + 2] | (p[4 * j + 3] << 8));
      x[j] = (a + b) * w[j];
    }
    double band[4] = {0, 0, 0, 0};
    const int edge[5] = {3, 15, 90, 600, 5000};
    for (int b = 0; b < 4; b++) {
      for (int k = edge[b]; k < edge[b + 1]; k++)
        band[b] += power_at(x, k, cos_t.data(), sin_t.data());
      band[b] = std::sqrt(band[b] / n_chunk);
    }
    const double lo = std::max(band[0] + band[1], 0.001);
    const double hi = band[2] + band[3];
    const double den = std::max(band[1] + band[3], 0.001);
    r.sum.push_back(hi + lo);
    r.tilt.push_back(std::min(hi / lo, 20.0));
    r.alt.push_back(std::min((band[0] + band[2]) / den, 20.0));
  }
  return r;
}

std::vector<std::pair<double, double>>
reference_points(const std::vector<double> &series) {
  const long n = static_cast<long>(series.size());
  std::vector<double> x(series.size()), cos_t(series.size()),
      sin_t(series.size());
  for (long j = 0; j < n; j++) {
    x[j] = series[j] * window(static_cast<int>(j), static_cast<int>(n));
    cos_t[j] = std::cos(2.0 * pi * j / n);
    sin_t[j] = std::sin(2.0 * pi * j / n);
  }
  std::vector<std::pair<double, double>> pts;
  for (long k = 0; k < n / 2; k++) {
    const double y =
        k < 2 ? 0.0 : std::sqrt(power_at(x, k, cos_t.data(), sin_t.data()));
    pts.emplace_back(static_cast<double>(k) / n, y);
  }
  return pts;
}

std::vector<std::pair<double, double>> parse_points(const std::string &text) {
  std::vector<std::pair<double, double>> pts;
  std::istringstream in(text);
  double x = 0, y = 0;
  while (in >> x >> y)
    pts.emplace_back(x, y);
  return pts;
}
