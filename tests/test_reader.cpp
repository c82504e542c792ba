// The exact-length reader: whole chunks from short reads, zero fill at the
// end of input, and a failed read ending the run.
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "defs.hpp"
#include "helpers.hpp"

namespace {

// Writes `data` into fd in pieces of 1 to 3,000 bytes with pauses between
// them, the way a decoder feeds a pipe, then closes fd.
void trickle(int fd, bytes data) {
  std::size_t pos = 0;
  unsigned piece = 1;
  while (pos < data.size()) {
    piece = (piece * 1103u + 7u) % 3000u + 1u;
    const std::size_t len = std::min<std::size_t>(piece, data.size() - pos);
    const ssize_t w = write(fd, data.data() + pos, len);
    if (w <= 0)
      break;
    pos += static_cast<std::size_t>(w);
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  close(fd);
}

} // namespace

TEST(ReadFromFd, AssemblesWholeChunksFromShortReadsThenZeroFillsTheRest) {
  // A pipe as a decoder leaves it, and one that another process sharing it
  // made non-blocking: the reader must wait, not fail, between pieces.
  for (const bool nonblocking : {false, true}) {
    SCOPED_TRACE(nonblocking ? "non-blocking" : "blocking");
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    if (nonblocking) {
      ASSERT_EQ(fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) | O_NONBLOCK), 0);
    }
    bytes data(chunk_bytes + 100);
    for (std::size_t i = 0; i < data.size(); i++)
      data[i] = static_cast<unsigned char>(i * 7 + 1);
    std::thread writer(trickle, p[1], data);

    bytes buf(chunk_bytes, 0xAA);
    EXPECT_EQ(read_from_fd(p[0], buf.data(), chunk_bytes), chunk_bytes);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin()));

    std::fill(buf.begin(), buf.end(), 0xAA);
    EXPECT_EQ(read_from_fd(p[0], buf.data(), chunk_bytes), 100);
    EXPECT_TRUE(
        std::equal(buf.begin(), buf.begin() + 100, data.begin() + chunk_bytes));
    for (int i = 100; i < chunk_bytes; i++)
      ASSERT_EQ(buf[i], 0) << "byte " << i << " not cleared after end of input";

    writer.join();
    close(p[0]);
  }
}

TEST(ReadFromFd, NonPositiveLengthReadsNothing) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "xy", 2), 2);
  unsigned char buf[4] = {9, 9, 9, 9};
  EXPECT_EQ(read_from_fd(p[0], buf, 0), 0);
  EXPECT_EQ(read_from_fd(p[0], buf, -5), 0);
  EXPECT_EQ(buf[0], 9);
  // Nothing was consumed.
  EXPECT_EQ(read_from_fd(p[0], buf, 2), 2);
  EXPECT_EQ(buf[0], 'x');
  close(p[0]);
  close(p[1]);
}

TEST(ReadFromFdDeathTest, FailedReadReportsAndExitsWithStatus1) {
  const int dir = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  unsigned char buf[16];
  EXPECT_EXIT(read_from_fd(dir, buf, 16), testing::ExitedWithCode(1),
              "^error read_from_fd: Is a directory\n$");
  close(dir);
}

TEST(FillZeros, ClearsOnlyTheTailAndNothingWhenFull) {
  unsigned char buf[6] = {1, 2, 3, 4, 5, 6};
  fill_zeros(6, buf, 6);
  fill_zeros(6, buf, 9);
  EXPECT_EQ(buf[5], 6);
  fill_zeros(6, buf, 4);
  EXPECT_EQ(buf[3], 4);
  EXPECT_EQ(buf[4], 0);
  EXPECT_EQ(buf[5], 0);
}
