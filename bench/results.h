#pragma once
// The summary of one benchmark run: one row per benchmark with our figure, the baseline
// measured in the same run, their ratio, the goal and whether it is met. Printed as a table
// and written as JSON.
//
// Threading: a plain value, used on one thread.

#include <cmath>
#include <string>
#include <vector>

namespace velotarn::bench {

enum class TGoal {
  RatioAtLeast,  // ours / baseline >= limit (more is better)
  RatioAtMost,   // ours / baseline <= limit (less is better)
  AtMost,        // ours <= limit, no baseline
  Info,          // shown for context, no goal
};

struct TRow {
  std::string name;
  std::string unit;
  double ours = NAN;
  double baseline = NAN;
  TGoal goal = TGoal::Info;
  double limit = NAN;
  std::string note;  // why a figure is missing, or the figures behind it
  // The ratios of runs measured back to back, when there are any: the row's ratio is then
  // their median, which load that changes during the run skews less than ours / baseline of
  // the medians, and their range is shown as the spread.
  std::vector<double> paired_ratios;

  double Ratio() const;
  // "lowest-highest" of the paired ratios; "-" without any.
  std::string Spread() const;
  std::string GoalText() const;
  // "pass", "FAIL", "n/a" (a figure is missing) or "info".
  std::string Verdict() const;
};

class TResults {
 public:
  TRow& Add(TRow row);
  // A note about the whole run (printed once, before the rows' notes).
  void AddNote(std::string note) { notes_.push_back(std::move(note)); }
  const std::vector<TRow>& Rows() const noexcept { return rows_; }
  void PrintTable() const;
  // Writes the rows as a JSON document; returns false when the file cannot be written.
  bool WriteJson(const std::wstring& path) const;

 private:
  std::vector<TRow> rows_;
  std::vector<std::string> notes_;
};

}  // namespace velotarn::bench
