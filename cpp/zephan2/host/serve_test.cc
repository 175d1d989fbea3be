// The chunk writer: records in order and byte for byte through a pipe (its
// own non-blocking descriptor) or a file, each chunk's pixels released once
// it is written, and a failed write raised on the caller's thread.
#include "zephan2/host/serve.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/errors.h"
#include "zephan2/inference/constants.h"

namespace {

using halvane::zephan2::FRAME_BYTES;

// n frames numbered from `first`, frame k filled with byte `seed` + k.
halvane::zephan2::RenderedChunk chunk(int64_t first, int64_t n, uint8_t seed) {
  halvane::zephan2::RenderedChunk c;
  auto px = std::make_shared<uint8_t[]>(static_cast<size_t>(n * FRAME_BYTES));
  for (int64_t k = 0; k < n; ++k) std::memset(px.get() + k * FRAME_BYTES, seed + k, FRAME_BYTES);
  c.pixels = px;
  c.n = n;
  for (int64_t k = 0; k < n; ++k) c.frames.push_back({first + k, k, px.get() + k * FRAME_BYTES});
  return c;
}

std::string records(int64_t first, int64_t n, uint8_t seed) {
  std::string s;
  for (int64_t k = 0; k < n; ++k) {
    const int32_t idx = static_cast<int32_t>(first + k);
    s.append(reinterpret_cast<const char*>(&idx), 4);
    s.append(static_cast<size_t>(FRAME_BYTES), static_cast<char>(seed + k));
  }
  return s;
}

TEST(ChunkWriter, WritesChunksInOrderAndReleasesEachOnceWritten) {
  for (bool pipe : {true, false}) {
    int fds[2];
    FILE* file = nullptr;
    if (pipe) {
      ASSERT_EQ(::pipe(fds), 0);
    } else {
      file = std::tmpfile();
      ASSERT_NE(file, nullptr);
      fds[0] = fds[1] = ::fileno(file);
    }
    std::string got;
    std::thread reader;
    if (pipe)  // the pipe holds less than a chunk: the writer waits for room
      reader = std::thread([&] {
        char buf[1 << 16];
        for (ssize_t r; (r = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(r));
      });
    halvane::zephan2::FdWriter out(fds[1]);
    std::weak_ptr<const uint8_t[]> first_px;
    {
      halvane::zephan2::ChunkWriter w(out);
      halvane::zephan2::RenderedChunk a = chunk(3, 3, 10);
      first_px = a.pixels;
      w.submit(std::move(a));
      w.submit(chunk(6, 2, 50));  // waits for the first
      EXPECT_TRUE(first_px.expired());
      w.wait();
      const int32_t marker = -1;  // the caller's own write, after wait()
      out.write(&marker, 4);
      out.flush();
    }
    if (pipe) {
      ::close(fds[1]);
      reader.join();
      ::close(fds[0]);
    } else {
      std::rewind(file);
      char buf[1 << 16];
      for (size_t r; (r = std::fread(buf, 1, sizeof buf, file)) > 0;) got.append(buf, r);
      std::fclose(file);
    }
    EXPECT_TRUE(got == records(3, 3, 10) + records(6, 2, 50) + std::string(4, '\xff')) << "pipe " << pipe;
  }
}

TEST(ChunkWriter, AFailedWriteIsRaisedOnTheCallersThread) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // nobody reads: EPIPE
  halvane::zephan2::FdWriter out(fds[1]);
  halvane::zephan2::ChunkWriter w(out);
  w.submit(chunk(3, 1, 0));
  EXPECT_THROW(w.wait(), halvane::OSError);
  w.wait();  // raised once
  w.submit(chunk(4, 1, 0));
  EXPECT_THROW(w.submit(chunk(5, 1, 0)), halvane::OSError);
  ::close(fds[1]);
}

}  // namespace
