// Runs a fuzz target's LLVMFuzzerTestOneInput once on every file of the given
// directories (or on the given files), without libFuzzer. Builds without clang
// link this instead of the fuzzing engine, so the committed corpus is checked
// by ctest everywhere. Exit status 0 when every input ran; an oracle failure
// aborts, after the name of the input at fault is printed.
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static std::string g_note;  // names the input being run, for a crash

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!fs::is_directory(argv[i])) {
      inputs.emplace_back(argv[i]);
      continue;
    }
    for (const auto& e : fs::directory_iterator(argv[i]))
      if (e.is_regular_file()) inputs.push_back(e.path());
  }
  if (inputs.empty()) {
    std::cerr << "usage: " << argv[0] << " CORPUS_DIR_OR_FILE...  (no inputs found)\n";
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());
  for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    signal(sig, [](int s) {
      (void)!write(2, g_note.data(), g_note.size());
      signal(s, SIG_DFL);
      raise(s);
    });
  }
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::cerr << "cannot read " << path << "\n";
      return 2;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, as libFuzzer passes it.
    std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
    memcpy(data.get(), bytes.data(), bytes.size());
    g_note = "\nwhile running input: " + path.string() + "\n";
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
  }
  std::cout << "replayed " << inputs.size() << " inputs\n";
  return 0;
}
