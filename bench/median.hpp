// The median of a benchmark's figures (the mean of the middle two for an
// even count; 0 for none).
#pragma once
#include <algorithm>
#include <vector>

inline double median_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0.0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
