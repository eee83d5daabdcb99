#include "results.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "bench_util.h"
#include "runtime/handles.h"

namespace velotarn::bench {

namespace {
std::string Number(double v) {
  if (std::isnan(v)) return "n/a";
  char text[64];
  if (v != 0 && std::fabs(v) < 10)
    std::snprintf(text, sizeof text, "%.2f", v);
  else
    std::snprintf(text, sizeof text, "%.0f", v);
  return text;
}

std::string JsonNumber(double v) {
  if (std::isnan(v) || std::isinf(v)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
}  // namespace

double TRow::Ratio() const {
  if (!paired_ratios.empty()) return Median(paired_ratios);
  if (std::isnan(ours) || std::isnan(baseline) || baseline <= 0) return NAN;
  return ours / baseline;
}

std::string TRow::Spread() const {
  if (paired_ratios.empty()) return "-";
  auto [low, high] = std::minmax_element(paired_ratios.begin(), paired_ratios.end());
  return Number(*low) + "-" + Number(*high);
}

std::string TRow::GoalText() const {
  switch (goal) {
    case TGoal::RatioAtLeast: return ">= " + Number(limit) + " x baseline";
    case TGoal::RatioAtMost: return "<= " + Number(limit) + " x baseline";
    case TGoal::AtMost: return "<= " + Number(limit) + " " + unit;
    case TGoal::Info: return "-";
  }
  return "-";
}

std::string TRow::Verdict() const {
  switch (goal) {
    case TGoal::RatioAtLeast:
      return std::isnan(Ratio()) ? "n/a" : Ratio() >= limit ? "pass" : "FAIL";
    case TGoal::RatioAtMost:
      return std::isnan(Ratio()) ? "n/a" : Ratio() <= limit ? "pass" : "FAIL";
    case TGoal::AtMost:
      return std::isnan(ours) ? "n/a" : ours <= limit ? "pass" : "FAIL";
    case TGoal::Info: return "info";
  }
  return "n/a";
}

TRow& TResults::Add(TRow row) {
  rows_.push_back(std::move(row));
  return rows_.back();
}

void TResults::PrintTable() const {
  std::printf("\n%-58s %10s %10s %6s %-11s %-19s %s\n", "benchmark", "ours", "baseline", "ratio",
              "spread", "goal", "result");
  std::printf("%s\n", std::string(127, '-').c_str());
  for (const TRow& r : rows_) {
    std::string name = r.name + " (" + r.unit + ")";
    std::printf("%-58s %10s %10s %6s %-11s %-19s %s\n", name.c_str(), Number(r.ours).c_str(),
                Number(r.baseline).c_str(), Number(r.Ratio()).c_str(), r.Spread().c_str(),
                r.GoalText().c_str(), r.Verdict().c_str());
  }
  bool any_note = false;
  for (const std::string& note : notes_) {
    if (!any_note) std::printf("\nnotes:\n");
    any_note = true;
    std::printf("  %s\n", note.c_str());
  }
  for (const TRow& r : rows_) {
    if (r.note.empty()) continue;
    if (!any_note) std::printf("\nnotes:\n");
    any_note = true;
    std::printf("  %s: %s\n", r.name.c_str(), r.note.c_str());
  }
  std::fflush(stdout);
}

bool TResults::WriteJson(const std::wstring& path) const {
  std::string json = "{\n  \"benchmarks\": [\n";
  for (size_t i = 0; i < rows_.size(); ++i) {
    const TRow& r = rows_[i];
    json += "    {\"name\": " + JsonString(r.name) + ", \"unit\": " + JsonString(r.unit) +
            ", \"ours\": " + JsonNumber(r.ours) + ", \"baseline\": " + JsonNumber(r.baseline) +
            ", \"ratio\": " + JsonNumber(r.Ratio()) + ", \"spread\": " + JsonString(r.Spread()) +
            ", \"goal\": " + JsonString(r.GoalText()) +
            ", \"result\": " + JsonString(r.Verdict()) + ", \"note\": " + JsonString(r.note) +
            "}" + (i + 1 < rows_.size() ? "," : "") + "\n";
  }
  json += "  ],\n  \"notes\": [";
  for (size_t i = 0; i < notes_.size(); ++i)
    json += (i ? ", " : "") + JsonString(notes_[i]);
  json += "]\n}\n";
  unique_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), json.data(), static_cast<DWORD>(json.size()), &written,
                           nullptr) &&
         written == json.size();
}

}  // namespace velotarn::bench
