// Native helper of tavro-bench: runs the page timing script (a Python program that drives
// headless Chromium) with the arguments it was given and the tavro.exe beside it.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

// Under Wine the child gets no usable PATH, so the interpreter is named in full.
constexpr char kPython[] = "/usr/bin/python3";

int main(int argc, char** argv) {
  // Started by Wine, argv[0] names no folder; the kernel knows where this file is.
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    std::perror("/proc/self/exe");
    return 2;
  }
  const std::string path(self, static_cast<size_t>(n));
  const std::string exe = path.substr(0, path.find_last_of('/')) + "/tavro.exe";
  std::vector<std::string> words{"python3", TAVRO_PAGE_BENCH_SCRIPT};
  for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
  words.emplace_back("--exe");
  words.push_back(exe);
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  execv(kPython, args.data());
  std::perror(kPython);
  return 2;
}
