#pragma once
// The benchmark program's registry and output: each area registers its figures from
// its own source file with TAVRO_BENCH, and every figure is one line "name value unit".
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelm::bench {

// Where a benchmark reports; figures go to standard output at once, notes to
// standard error, so the figures stay machine-readable.
class BenchOut {
 public:
  void Figure(std::string_view name, double value, std::string_view unit);
  void Note(std::string_view text);
  // Marks the run as failed (exit code 1) with a reason on standard error.
  void Fail(std::string_view what);
  bool Failed() const { return failed_; }
  // A figure an earlier benchmark of this run reported, so a later one can print its own
  // figure as a share of it (both measured on the same machine at the same time).
  std::optional<double> Reported(std::string_view name) const;

 private:
  bool failed_ = false;
  std::map<std::string, double, std::less<>> reported_;
};

using BenchFunction = void (*)(BenchOut&);

struct BenchEntry {
  std::string name;  // prefix of every figure the function reports
  BenchFunction run;
};

// Adds an entry; called from static initialisers, so it never fails.
bool RegisterBench(std::string_view name, BenchFunction run);
// Every registered entry, sorted by name.
std::vector<BenchEntry> RegisteredBenches();

#define TAVRO_BENCH_CONCAT2(a, b) a##b
#define TAVRO_BENCH_CONCAT(a, b) TAVRO_BENCH_CONCAT2(a, b)
// TAVRO_BENCH("area.what", Function): registers Function under that name.
#define TAVRO_BENCH(name, function) \
  static const bool TAVRO_BENCH_CONCAT(tavroBenchRegistered_, __LINE__) = ::kelm::bench::RegisterBench(name, function)

}  // namespace kelm::bench
