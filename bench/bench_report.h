// The benchmark's report: the table of measures printed at the end (a ratio of
// the program against a floor measured in the same run, and its target) and
// the notes printed on the way.
#pragma once

#include <string>
#include <vector>

namespace varrow::bench {

struct Row {
  std::string measure, program, floor, ratio, target, verdict;
};

// A row as it is.
void AddRow(const Row& row);
// program / floor against `target` ("met" or "MISSED"; "not measured" without
// both figures), the figures printed with `unit`.
void AddRatioRow(const std::string& measure, double program, double floor, double target,
                 const char* unit = "%.1f ms");
// A ratio of medians, with both sets shown as median (min-max).
void AddSpreadRow(const std::string& measure, const std::vector<double>& program,
                  const std::vector<double>& floor, double target);
// The table of every row added, in Markdown, on standard output.
void PrintTable();
// A line "== ..." on standard error.
void Note(const char* format, ...);
// printf of one number.
std::string Format(const char* format, double value);
// "median (min-max) ms" of a set of figures.
std::string Spread(const std::vector<double>& values);

}  // namespace varrow::bench
