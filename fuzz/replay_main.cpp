// Runs a fuzz target's LLVMFuzzerTestOneInput once on every file of the given
// directories (or on the given files), without libFuzzer, so that builds
// without clang check the committed corpus under ctest. Each input is named
// before it runs: after an oracle failure the last name is the one at fault.
#include <stdint.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!fs::is_directory(argv[i]))
      inputs.emplace_back(argv[i]);
    else
      for (const auto& e : fs::directory_iterator(argv[i]))
        if (e.is_regular_file()) inputs.push_back(e.path());
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    // A copy of exactly the input's size, as libFuzzer passes it.
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});
    std::cerr << "input " << path.string() << std::endl;
    if (!in) return 2;  // unreadable
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::cout << "replayed " << inputs.size() << " inputs\n";
  return inputs.empty() ? 2 : 0;  // an empty corpus checks nothing
}
