#include "bench/bench_report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "bench/bench_install.h"

namespace varrow::bench {

namespace {

std::vector<Row>& Rows() {
  static std::vector<Row> rows;
  return rows;
}

}  // namespace

void AddRow(const Row& row) { Rows().push_back(row); }

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void AddRatioRow(const std::string& measure, double program, double floor, double target,
                 const char* unit) {
  Row row{measure, Format(unit, program), Format(unit, floor), "n/a",
          Format("<= %.2f", target), "not measured"};
  if (floor > 0 && program > 0) {
    const double ratio = program / floor;
    row.ratio = Format("%.2f", ratio);
    row.verdict = ratio <= target ? "met" : "MISSED";
  }
  Rows().push_back(row);
}

void PrintTable() {
  std::printf("\n| Measure | Varrow | Floor | Ratio | Target | |\n|---|---|---|---|---|---|\n");
  for (const Row& r : Rows()) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", r.measure.c_str(), r.program.c_str(),
                r.floor.c_str(), r.ratio.c_str(), r.target.c_str(), r.verdict.c_str());
  }
  std::fflush(stdout);
}

void Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "== ");
  std::vfprintf(stderr, format, args);
  std::fprintf(stderr, "\n");
  va_end(args);
}

std::string Spread(const std::vector<double>& values) {
  if (values.empty()) return "n/a";
  char text[96];
  std::snprintf(text, sizeof text, "%.1f ms (%.1f-%.1f)", Median(values),
                *std::min_element(values.begin(), values.end()),
                *std::max_element(values.begin(), values.end()));
  return text;
}

void AddSpreadRow(const std::string& measure, const std::vector<double>& program,
                  const std::vector<double>& floor, double target) {
  Row row{measure, Spread(program), Spread(floor), "n/a", Format("<= %.2f", target),
          "not measured"};
  if (!program.empty() && !floor.empty() && Median(floor) > 0) {
    const double ratio = Median(program) / Median(floor);
    row.ratio = Format("%.2f", ratio);
    row.verdict = ratio <= target ? "met" : "MISSED";
  }
  Rows().push_back(row);
}

}  // namespace varrow::bench
