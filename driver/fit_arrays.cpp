#include "driver/fit_arrays.h"

#include <cstddef>
#include <memory>
#include <vector>

#include "driver/globals.h"

namespace {

// A block of doubles that only grows; a little headroom keeps a run whose J wanders by a few
// rows from variant to variant from reallocating each time. New storage is left untouched, so
// its pages cost nothing until a fit writes them.
class Block {
 public:
  double *reserve(std::size_t need) {
    if (need > capacity_) {
      data_.reset();
      capacity_ = need + need / 8;
      data_.reset(new double[capacity_]);
    }
    return data_.get();
  }
  void release() {
    data_.reset();
    capacity_ = 0;
  }

 private:
  std::unique_ptr<double[]> data_;
  std::size_t capacity_ = 0;
};

Block phi_block, q1_block, l1_block;
std::vector<double *> phi_rows, q1_rows;

// rows[1..count] point at consecutive stretches of `width` doubles of block, each addressed
// 1..width: rows[i][j] is block[(i - 1) * width + j], so the block holds count * width + 1.
double **lay_out(std::vector<double *> &rows, Block &block, int count, int width) {
  double *base = block.reserve(static_cast<std::size_t>(count) * width + 1);
  rows.assign(static_cast<std::size_t>(count) + 1, nullptr);
  for (int i = 1; i <= count; i++) rows[i] = base + static_cast<std::size_t>(i - 1) * width;
  return rows.data();
}

}  // namespace

void size_fit_arrays(int J) {
  const int D = dimST + J;
  phi = lay_out(phi_rows, phi_block, n - m, J);
  Q1 = lay_out(q1_rows, q1_block, D, D);
  l1 = l1_block.reserve(static_cast<std::size_t>(D) + 1);
}

void free_fit_arrays() {
  phi_block.release();
  q1_block.release();
  l1_block.release();
  std::vector<double *>().swap(phi_rows);
  std::vector<double *>().swap(q1_rows);
  phi = Q1 = nullptr;
  l1 = nullptr;
}
