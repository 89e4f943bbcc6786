// tavro-bench: runs the registered benchmarks (all, or those named on the command
// line) and prints one line per figure.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bench.h"
#include "core/log.h"
#include "core/paths.h"
#include "support/temp_dir.h"

namespace kelm::bench {
namespace {

std::mutex& OutputMutex() {
  static std::mutex m;
  return m;
}

std::vector<BenchEntry>& Registry() {
  static std::vector<BenchEntry> entries;
  return entries;
}

// An argument selects an entry when one is a prefix of the other: "session" selects
// every session figure, "session.ping.median" the entry that reports it.
bool Selects(std::string_view arg, std::string_view name) {
  return name.starts_with(arg) || arg.starts_with(name);
}

void PrintUsage(FILE* to) {
  std::fprintf(to, "Usage: tavro-bench [--list] [NAME...]\n\n"
                   "Runs every benchmark, or those whose name begins with a NAME given, and prints one\n"
                   "line per figure: name value unit.\n\nBenchmarks:\n");
  for (const BenchEntry& e : RegisteredBenches()) std::fprintf(to, "  %s\n", e.name.c_str());
}

// The end of the log, shown when a benchmark failed (the profile folder goes away).
void PrintLogTail(const std::wstring& path) {
  std::istringstream in(test::ReadFileBytes(path));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const size_t from = lines.size() > 40 ? lines.size() - 40 : 0;
  std::fprintf(stderr, "--- last lines of the host log ---\n");
  for (size_t i = from; i < lines.size(); ++i) std::fprintf(stderr, "%s\n", lines[i].c_str());
}

}  // namespace

void BenchOut::Figure(std::string_view name, double value, std::string_view unit) {
  std::lock_guard lock(OutputMutex());
  reported_[std::string(name)] = value;
  std::printf("%.*s %.6g %.*s\n", static_cast<int>(name.size()), name.data(), value, static_cast<int>(unit.size()),
              unit.data());
  std::fflush(stdout);
}

std::optional<double> BenchOut::Reported(std::string_view name) const {
  std::lock_guard lock(OutputMutex());
  const auto found = reported_.find(name);
  if (found == reported_.end()) return std::nullopt;
  return found->second;
}

void BenchOut::Note(std::string_view text) {
  std::lock_guard lock(OutputMutex());
  std::fprintf(stderr, "note: %.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

void BenchOut::Fail(std::string_view what) {
  failed_ = true;
  std::lock_guard lock(OutputMutex());
  std::fprintf(stderr, "FAILED: %.*s\n", static_cast<int>(what.size()), what.data());
  std::fflush(stderr);
}

bool RegisterBench(std::string_view name, BenchFunction run) {
  Registry().push_back({std::string(name), run});
  return true;
}

std::vector<BenchEntry> RegisteredBenches() {
  std::vector<BenchEntry> entries = Registry();
  std::sort(entries.begin(), entries.end(), [](const BenchEntry& a, const BenchEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace kelm::bench

int main(int argc, char** argv) {
  using namespace kelm::bench;
  std::vector<std::string_view> names;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "/?" || arg == "--list") {
      PrintUsage(stdout);
      return 0;
    }
    names.push_back(arg);
  }
  std::vector<BenchEntry> selected;
  for (const BenchEntry& e : RegisteredBenches()) {
    bool wanted = names.empty();
    for (std::string_view n : names) wanted = wanted || Selects(n, e.name);
    if (wanted) selected.push_back(e);
  }
  for (std::string_view n : names) {
    bool known = false;
    for (const BenchEntry& e : selected) known = known || Selects(n, e.name);
    if (!known) {
      std::fprintf(stderr, "No benchmark is named %.*s\n\n", static_cast<int>(n.size()), n.data());
      PrintUsage(stderr);
      return 2;
    }
  }

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int code = 0;
  {
    // The host pieces keep their files (identity key, paired devices, log) in a
    // profile folder of this run only.
    kelm::test::TempDir profile;
    kelm::SetProfileDir(profile.Path());
    const std::wstring logPath = profile.File(L"bench.log");
    kelm::OpenLogFile(logPath);
    BenchOut out;
    // Every host piece after a benchmark that forgot to restore the profile would read
    // and write the user's real data folders (and what earlier runs left there).
    const std::wstring runProfile = kelm::ProfileDir();
    for (const BenchEntry& e : selected) {
      // Seconds per benchmark on stderr, so a slow or stuck one is plain to see while
      // stdout stays one figure a line.
      const auto started = std::chrono::steady_clock::now();
      std::fprintf(stderr, "bench: %s ...\n", e.name.c_str());
      std::fflush(stderr);
      e.run(out);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
      std::fprintf(stderr, "bench: %s %.1f s\n", e.name.c_str(), took.count());
      std::fflush(stderr);
      if (kelm::ProfileDir() != runProfile) {
        out.Fail(std::string(e.name) + ": left the run's profile folder");
        kelm::SetProfileDir(runProfile);
      }
    }
    kelm::CloseLogFile();
    if (out.Failed()) {
      PrintLogTail(logPath);
      code = 1;
    }
    kelm::SetProfileDir(L"");
  }
  CoUninitialize();
  return code;
}
