// One file's decoder and bandsway, and the decoded audio relayed between
// them and counted.
#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "batch.hpp"

namespace {

// The most bytes kept of a decoder's or bandsway's messages for one file:
// a damaged file can make a decoder warn without end.
constexpr std::size_t max_message_bytes = 65536;
// The most bytes kept of bandsway's values: a curve is 3 KB.
constexpr std::size_t max_value_bytes = 1U << 20;

// Appends what fd has to `to` (up to `cap` bytes kept); closes fd at its
// end.
void drain(int *fd, std::string *to, std::size_t cap) {
  char buf[65536];
  while (*fd >= 0) {
    const ssize_t n = read(*fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == EAGAIN)
      return;
    if (n <= 0) {
      close_fd(fd);
      return;
    }
    const std::size_t keep =
        std::min(static_cast<std::size_t>(n), cap - std::min(cap, to->size()));
    to->append(buf, keep);
  }
}

// The descriptors of a relay, ours ends of the five pipes.
struct relay_fds {
  int dec_out;
  int dec_err;
  int bsw_in;
  int bsw_out;
  int bsw_err;
};

// Relays the decoder's output to bandsway, counting it, and gathers their
// messages and bandsway's values, until both are done or the job must
// stop. Every descriptor is polled, so neither side can block the other.
void relay(run_state &st, relay_fds f, const job_context &job,
           std::vector<char> &buf) {
  const volatile sig_atomic_t *stop = job.stop;
  std::size_t have = 0;
  std::size_t sent = 0;
  for (const int fd : {f.dec_out, f.dec_err, f.bsw_in, f.bsw_out, f.bsw_err})
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  while (f.dec_out >= 0 || f.dec_err >= 0 || f.bsw_out >= 0 || f.bsw_err >= 0) {
    if (f.dec_out < 0 && sent == have)
      close_fd(&f.bsw_in);
    pollfd p[6] = {};
    p[0] = {sent == have ? f.dec_out : -1, POLLIN, 0};
    p[1] = {f.dec_err, POLLIN, 0};
    p[2] = {sent < have ? f.bsw_in : -1, POLLOUT, 0};
    p[3] = {f.bsw_out, POLLIN, 0};
    p[4] = {f.bsw_err, POLLIN, 0};
    p[5] = {job.life, POLLIN, 0};
    if (*stop != 0 || poll(p, 6, -1) < 0) {
      if (*stop == 0 && errno == EINTR)
        continue;
      st.stopped = true;
      break;
    }
    if (p[5].revents != 0) {
      st.stopped = true; // the driver is gone
      break;
    }
    if (p[0].revents != 0) {
      const ssize_t n = read(f.dec_out, buf.data(), buf.size());
      if (n > 0) {
        have = static_cast<std::size_t>(n);
        sent = 0;
        st.bytes += n;
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(&f.dec_out);
      }
    } else if (p[2].revents != 0) {
      const ssize_t n = write(f.bsw_in, buf.data() + sent, have - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (errno != EINTR && errno != EAGAIN) {
        // bandsway is gone: the decoder's output has nowhere to go.
        close_fd(&f.bsw_in);
        close_fd(&f.dec_out);
        have = sent = 0;
      }
    }
    if (p[1].revents != 0)
      drain(&f.dec_err, &st.decoder_msgs, max_message_bytes);
    if (p[3].revents != 0)
      drain(&f.bsw_out, &st.values, max_value_bytes);
    if (p[4].revents != 0)
      drain(&f.bsw_err, &st.bandsway_msgs, max_message_bytes);
  }
  for (int *fd : {&f.dec_out, &f.dec_err, &f.bsw_in, &f.bsw_out, &f.bsw_err})
    close_fd(fd);
}

} // namespace

void decode_and_analyse(run_state &st, const std::vector<std::string> &decoder,
                        job_context &job) {
  int d_out[2] = {-1, -1};
  int d_err[2] = {-1, -1};
  int b_in[2] = {-1, -1};
  int b_out[2] = {-1, -1};
  int b_err[2] = {-1, -1};
  if (!make_pipe(d_out) || !make_pipe(d_err) || !make_pipe(b_in) ||
      !make_pipe(b_out) || !make_pipe(b_err)) {
    st.decoder_spawn_errno = errno;
  } else {
    child_spec dec{decoder, -1, d_out[1], d_err[1], {}};
    st.decoder = spawn_child(dec);
    if (st.decoder < 0)
      st.decoder_spawn_errno = errno;
    child_spec bsw{{"bandsway"}, b_in[0], b_out[1], b_err[1], {}};
    if (st.decoder > 0) {
      st.bandsway = spawn_child(bsw);
      if (st.bandsway < 0)
        st.bandsway_spawn_errno = errno;
    }
  }
  for (int *fd : {&d_out[1], &d_err[1], &b_in[0], &b_out[1], &b_err[1]})
    close_fd(fd);
  if (st.decoder > 0 && st.bandsway > 0)
    relay(st, {d_out[0], d_err[0], b_in[1], b_out[0], b_err[0]}, job, job.buf);
  for (int *fd : {&d_out[0], &d_err[0], &b_in[1], &b_out[0], &b_err[0]})
    close_fd(fd);
  if (st.stopped)
    for (const pid_t pid : {st.decoder, st.bandsway})
      if (pid > 0)
        kill(pid, SIGKILL);
}
