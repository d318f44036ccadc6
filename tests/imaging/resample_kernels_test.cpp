// The resampling kernels chosen for this processor against their four-float twins: the
// same bits for random pixels, weights, runs and column ranges.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/resample_kernels.h"

namespace {

std::vector<float> toLinearTable() {
  std::vector<float> t(256);
  for (int i = 0; i < 256; ++i)
    t[i] = static_cast<float>(i * i) / 65025.0f + 1e-6f * static_cast<float>(i % 7);
  return t;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  // memcmp must not be handed the null data() of an empty vector.
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

TEST(ResampleKernels, DecodeMatchesPortableTwin) {
  std::mt19937 rng(4);
  const std::vector<float> table = toLinearTable();
  for (const int n : {0, 1, 7, 8, 9, 31, 1920}) {
    std::vector<uint8_t> px(static_cast<size_t>(n) * 4);
    for (auto& v : px) v = static_cast<uint8_t>(rng());
    for (const bool weighted : {true, false}) {
      std::vector<float> fast(static_cast<size_t>(n) * 4, -1.0f), twin(fast);
      (weighted ? decodeWeighted : decodeUnweighted)(px.data(), n, table.data(), fast.data());
      (weighted ? decodeWeightedPortable : decodeUnweightedPortable)(px.data(), n, table.data(),
                                                                     twin.data());
      EXPECT_TRUE(sameBits(fast, twin)) << n << " pixels, weighted " << weighted;
    }
  }
}

TEST(ResampleKernels, ColumnFilterMatchesPortableTwin) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> value(-1.0f, 2.0f);
  for (const int taps : {2, 4, 6, 12, 40, 60, 122}) {
    for (const int count : {1, 2, 3, 4, 5, 9}) {
      const int outW = 37;
      const int rowPixels = outW * 3 + taps;
      std::vector<int> first(outW);
      for (int x = 0; x < outW; ++x) first[x] = static_cast<int>(rng() % (rowPixels - taps + 1));
      std::vector<float> weights(static_cast<size_t>(outW) * taps * 4);
      for (size_t i = 0; i < weights.size(); i += 4) {
        const float w = value(rng);
        for (int l = 0; l < 4; ++l) weights[i + l] = w;
      }
      ColumnFilter f;
      f.outW = outW;
      f.taps = taps;
      f.first = first.data();
      f.weights = weights.data();
      std::vector<std::vector<float>> rows(count,
                                           std::vector<float>(static_cast<size_t>(rowPixels) * 4));
      for (auto& r : rows)
        for (auto& v : r) v = value(rng);
      for (const int from : {0, 5}) {
        const int to = from == 0 ? outW : 30;
        std::vector<std::vector<float>> fast(
            count, std::vector<float>(static_cast<size_t>(outW) * 4, 7.0f));
        auto twin = fast;
        std::vector<const float*> in;
        std::vector<float*> outFast, outTwin;
        for (int i = 0; i < count; ++i) {
          in.push_back(rows[i].data());
          outFast.push_back(fast[i].data());
          outTwin.push_back(twin[i].data());
        }
        filterColumns(f, in.data(), outFast.data(), count, from, to);
        filterColumnsPortable(f, in.data(), outTwin.data(), count, from, to);
        for (int i = 0; i < count; ++i)
          EXPECT_TRUE(sameBits(fast[i], twin[i])) << taps << " taps, " << count << " rows, row "
                                                  << i << ", columns " << from << ".." << to;
      }
    }
  }
}

TEST(ResampleKernels, RowSumMatchesPortableTwin) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> value(-1.0f, 2.0f);
  for (const int count : {1, 2, 7, 34, 68}) {
    for (const int floats : {1, 4, 31, 32, 33, 4000}) {
      std::vector<std::vector<float>> rows(count, std::vector<float>(static_cast<size_t>(floats)));
      std::vector<const float*> in;
      std::vector<float> weights;
      for (auto& r : rows) {
        for (auto& v : r) v = value(rng);
        in.push_back(r.data());
        weights.push_back(value(rng));
      }
      std::vector<float> fast(static_cast<size_t>(floats)), twin(fast.size());
      weightedRowSum(in.data(), weights.data(), count, fast.data(), floats);
      weightedRowSumPortable(in.data(), weights.data(), count, twin.data(), floats);
      EXPECT_TRUE(sameBits(fast, twin)) << count << " rows of " << floats;
      const float w = value(rng);
      addWeightedRow(fast.data(), rows[0].data(), w, floats);
      addWeightedRowPortable(twin.data(), rows[0].data(), w, floats);
      EXPECT_TRUE(sameBits(fast, twin)) << "one more row of " << floats;
    }
  }
}

}  // namespace
