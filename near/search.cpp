// The k nearest rows of each query: one pass over the rows for all the
// queries at once, each keeping its k best so far in a heap.
#include <algorithm>
#include <memory>

#include <unistd.h>

#include "near.hpp"

namespace {

struct candidate {
  std::uint32_t dot;
  std::uint64_t row;
};

// Whether a is a better answer than b: more similar, or as similar and
// earlier in the table, so that ties come out in one order on every run.
bool better(const candidate &a, const candidate &b) {
  return a.dot > b.dot || (a.dot == b.dot && a.row < b.row);
}

// The k best so far, the worst of them on top.
struct best_k {
  std::size_t k = 0;
  std::uint64_t own_hash = 0;
  bool has_path = false;
  std::vector<candidate> heap;
};

void offer(best_k *b, const near_table &t, const query &q, candidate c) {
  if (b->heap.size() == b->k && !better(c, b->heap.front()))
    return;
  // The query's own row, and any other row with its path, is no answer.
  if (b->has_path && t.hashes[c.row] == b->own_hash &&
      path_of(t, c.row) == q.path)
    return;
  if (b->heap.size() == b->k) {
    std::pop_heap(b->heap.begin(), b->heap.end(), better);
    b->heap.pop_back();
  }
  b->heap.push_back(c);
  std::push_heap(b->heap.begin(), b->heap.end(), better);
}

// Reads the index's vectors in blocks of whole rows into a buffer used
// again and again (on a virtual machine, mapping a file costs far more
// than reading it), hands each block to score, and checks the index's
// checksum on the way; false when the index is cut or damaged.
template <typename F> bool read_vectors(const near_table &t, F score) {
  const std::size_t size = static_cast<std::size_t>(curve_count) * t.columns;
  const std::size_t per_block = std::max<std::size_t>(
      1, index_read_bytes / (size * sizeof(vector_value)));
  // Not zeroed: read() fills it.
  const std::unique_ptr<vector_value[]> buf(new vector_value[per_block * size]);
  checksum_state sum = t.sum;
  if (lseek(t.index_fd, static_cast<off_t>(t.vectors_at), SEEK_SET) < 0)
    return false;
  for (std::uint64_t first = 0; first < t.rows; first += per_block) {
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(per_block, t.rows - first));
    const std::size_t bytes = n * size * sizeof(vector_value);
    if (read_full(t.index_fd, reinterpret_cast<char *>(buf.get()), bytes) !=
        static_cast<ssize_t>(bytes))
      return false;
    checksum_add(&sum, buf.get(), bytes);
    score(vector_span{buf.get(), first, n});
  }
  return checksum_end(&sum) == t.body_checksum;
}

} // namespace

bool search(const near_table &t, const std::vector<query> &qs, std::size_t k,
            std::vector<std::vector<neighbour>> *found) {
  std::vector<best_k> best(qs.size());
  for (std::size_t i = 0; i < qs.size(); i++) {
    best[i].k = k;
    best[i].has_path = !qs[i].path.empty();
    best[i].own_hash = path_hash(qs[i].path);
  }
  const int size = curve_count * t.columns;
  const auto score = [&](const vector_span &s) {
    for (std::uint64_t r = 0; r < s.rows; r++) {
      const vector_value *v = s.data + r * static_cast<std::uint64_t>(size);
      for (std::size_t i = 0; i < qs.size(); i++) {
        // The nearest of the query's vectors (bandsway's lines have one
        // per length they may be).
        std::uint32_t dot = 0;
        for (std::size_t at = 0; at < qs[i].vec.size(); at += size)
          dot = std::max(dot, dot_product(v, qs[i].vec.data() + at, size));
        offer(&best[i], t, qs[i], {dot, s.first + r});
      }
    }
  };
  if (t.index_fd < 0) {
    for (const vector_span &s : t.spans)
      score(s);
  } else if (!read_vectors(t, score)) {
    return false;
  }
  found->assign(qs.size(), {});
  for (std::size_t i = 0; i < qs.size(); i++) {
    std::sort_heap(best[i].heap.begin(), best[i].heap.end(), better);
    for (const candidate &c : best[i].heap)
      (*found)[i].push_back({c.row, distance_of(c.dot)});
  }
  return true;
}
