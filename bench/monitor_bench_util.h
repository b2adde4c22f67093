// What the monitor library's benchmarks share: the clock, percentiles, the
// side-by-side measurement of direct and monitored calls, a table row and the
// count of what a case's log holds.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace varrow::bench {

inline double Micros(LONGLONG ticks) {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  return static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency.QuadPart);
}

inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
  return values[at];
}

struct Figures {
  double directMedian, directP99, monitorMedian, monitorP99;
};

// Times `calls` calls of `call(api)` on both libraries, alternating; with `pace`
// (in counter ticks), each round starts that long after the previous one.
template <typename Api, typename Call>
Figures Measure(const Api& direct, const Api& monitored, int calls, Call call, LONGLONG pace = 0) {
  std::vector<double> d, m;
  d.reserve(calls);
  m.reserve(calls);
  for (int i = 0; i < calls; ++i) {
    LARGE_INTEGER a, b, c;
    QueryPerformanceCounter(&a);
    call(direct);
    QueryPerformanceCounter(&b);
    call(monitored);
    QueryPerformanceCounter(&c);
    d.push_back(Micros(b.QuadPart - a.QuadPart));
    m.push_back(Micros(c.QuadPart - b.QuadPart));
    while (pace != 0 && c.QuadPart - a.QuadPart < pace) QueryPerformanceCounter(&c);
  }
  return {Percentile(d, 0.5), Percentile(d, 0.99), Percentile(m, 0.5), Percentile(m, 0.99)};
}

// One row; a p99 target of 0 means none.
inline void Row(const char* what, const Figures& f, double medianTarget, double p99Target, const std::string& logged) {
  const double median = f.monitorMedian - f.directMedian;
  const double p99 = f.monitorP99 - f.directP99;
  char target[64];
  if (p99Target > 0) {
    std::snprintf(target, sizeof target, "median <= %.0f, p99 <= %.0f", medianTarget, p99Target);
  } else {
    std::snprintf(target, sizeof target, "<= %.0f", medianTarget);
  }
  const bool met = median <= medianTarget && (p99Target <= 0 || p99 <= p99Target);
  std::printf("| %s | %.2f / %.2f | %.2f / %.2f | %.2f (%.1f%% of a CAN frame) | %.2f | %s | %s | %s |\n",
              what, f.directMedian, f.directP99, f.monitorMedian, f.monitorP99, median,
              median * 100.0 / 222.0, p99, target, met ? "met" : "NOT met", logged.c_str());
}

// "logged N, dropped M" from the log of a case: entries of the call, and the monitor's notes.
inline std::string Logged(const std::wstring& log, const char* marker) {
  std::string text;
  varrow::test::ReadFileText(log, &text);
  long entries = 0, dropped = 0;
  for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) ++entries;
  const std::string note = " entries not logged";
  for (std::size_t at = text.find(note); at != std::string::npos; at = text.find(note, at + 1)) {
    std::size_t start = at;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
    dropped += std::atol(text.substr(start, at - start).c_str());
  }
  return "logged " + std::to_string(entries) + ", dropped " + std::to_string(dropped);
}

}  // namespace varrow::bench
