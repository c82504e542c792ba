// A table read in blocks of whole lines, each line with its number and its
// place in the file, so that several threads can parse blocks at once and
// a reader can fetch a row again by its offset.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "companion.hpp"

namespace {

// Reads up to `want` more bytes onto the end of r->pending; false with
// errno set on a read error.
bool read_more(block_reader *r, std::size_t want) {
  const std::size_t had = r->pending.size();
  r->pending.resize(had + want);
  const ssize_t got = read_some(r->fd, &r->pending[had], want);
  r->pending.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  if (got < 0)
    return false;
  r->at_end = got == 0;
  return true;
}

// Hands the first `size` bytes of r->pending, whole lines, to b. The rest
// goes into b's old buffer, which becomes the pending one: buffers go round
// between the reader and the blocks rather than being made anew (a new
// one costs its pages' faults).
void emit(block_reader *r, std::size_t size, line_block *b) {
  b->text.assign(r->pending, size, std::string::npos);
  b->text.swap(r->pending);
  b->text.resize(size);
  b->offset = r->offset;
  b->first_nr = r->nr + 1;
  b->overlong = false;
  r->offset += size;
  r->nr += static_cast<long>(std::count(b->text.begin(), b->text.end(), '\n'));
}

} // namespace

void start_blocks(block_reader *r, int fd, std::size_t block_bytes) {
  r->fd = fd;
  // A block always ends within reach of the overlong-line bound.
  r->block_bytes =
      std::max<std::size_t>(1, std::min(block_bytes, max_table_line));
  r->pending.clear();
  r->offset = 0;
  r->nr = 0;
  r->at_end = false;
  r->skipping = false;
}

std::string next_block(block_reader *r, const std::string &name, line_block *b,
                       bool *got) {
  *got = false;
  b->text.clear();
  for (;;) {
    if (r->skipping) {
      // The rest of an overlong line goes as it comes.
      const std::size_t nl = r->pending.find('\n');
      const std::size_t drop =
          nl == std::string::npos ? r->pending.size() : nl + 1;
      r->offset += drop;
      r->pending.erase(0, drop);
      r->skipping = nl == std::string::npos && !r->at_end;
    }
    if (!r->skipping) {
      const std::size_t nl = r->pending.rfind('\n');
      const std::size_t whole = nl == std::string::npos ? 0 : nl + 1;
      if (whole > 0 && (r->pending.size() >= r->block_bytes || r->at_end)) {
        emit(r, whole, b);
        *got = true;
        return "";
      }
      if (r->at_end && !r->pending.empty()) {
        emit(r, r->pending.size(), b);
        *got = true;
        return "";
      }
      if (r->at_end)
        return "";
      if (r->pending.size() - whole > max_table_line) {
        // No newline within the bound: the line is damaged; only its
        // number is handed on.
        b->offset = r->offset;
        b->first_nr = ++r->nr;
        b->overlong = true;
        r->skipping = true;
        *got = true;
        return "";
      }
    } else if (r->at_end) {
      return "";
    }
    // Reads of at least 64 KiB, so that small blocks do not mean small
    // reads, nor a long line many searches for its end.
    if (!read_more(r, std::max<std::size_t>(r->block_bytes, 1 << 16)))
      return "cannot read " + name + ": " + error_text(errno);
  }
}

void for_each_line(const line_block &b, const block_line_taker &take) {
  std::string_view text = b.text;
  long nr = b.first_nr;
  std::uint64_t at = b.offset;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    const std::size_t size = nl == std::string_view::npos ? text.size() : nl;
    take(plain_line(text.substr(0, size), at == 0), nr, at, size);
    const std::size_t step = nl == std::string_view::npos ? size : nl + 1;
    text.remove_prefix(step);
    at += step;
    nr++;
  }
}

std::string run_blocks(block_reader *r, const std::string &name, int threads,
                       const block_work &work, const block_work_taker &take) {
  const std::size_t slots = block_slots(threads);
  std::vector<line_block> block(slots);
  if (threads <= 0) {
    // No helper: each block is worked and taken in turn.
    for (;;) {
      bool got = false;
      std::string why = next_block(r, name, &block[0], &got);
      if (why.empty() && got) {
        work(block[0], 0);
        why = take(block[0], 0);
      }
      if (!why.empty() || !got)
        return why;
    }
  }
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::size_t> queued; // slots waiting for a worker
  std::vector<bool> done(slots, false);
  bool stop = false;
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; t++)
    workers.emplace_back([&] {
      for (;;) {
        std::size_t slot = 0;
        {
          std::unique_lock<std::mutex> hold(lock);
          changed.wait(hold, [&] { return stop || !queued.empty(); });
          if (queued.empty())
            return;
          slot = queued.front();
          queued.pop_front();
        }
        work(block[slot], slot);
        {
          const std::lock_guard<std::mutex> hold(lock);
          done[slot] = true;
        }
        changed.notify_all();
      }
    });
  // Blocks go to the slots in turn, so that the oldest block in flight is
  // always in slot `next_take`.
  std::size_t next_read = 0;
  std::size_t next_take = 0;
  std::size_t in_flight = 0;
  bool input_over = false;
  std::string why;
  while (why.empty() && (!input_over || in_flight > 0)) {
    if (!input_over && in_flight < slots) {
      bool got = false;
      why = next_block(r, name, &block[next_read], &got);
      if (!why.empty() || !got) {
        input_over = true;
        continue;
      }
      {
        const std::lock_guard<std::mutex> hold(lock);
        done[next_read] = false;
        queued.push_back(next_read);
      }
      changed.notify_all();
      next_read = (next_read + 1) % slots;
      in_flight++;
      continue;
    }
    {
      std::unique_lock<std::mutex> hold(lock);
      changed.wait(hold, [&] { return bool(done[next_take]); });
    }
    why = take(block[next_take], next_take);
    next_take = (next_take + 1) % slots;
    in_flight--;
  }
  {
    const std::lock_guard<std::mutex> hold(lock);
    stop = true;
    queued.clear();
  }
  changed.notify_all();
  for (std::thread &t : workers)
    t.join();
  return why;
}
