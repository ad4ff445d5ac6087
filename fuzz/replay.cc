// Runs saved inputs through both fuzz targets without libFuzzer, for builds that have
// none: the Windows cross build, run under Wine by fuzz/cross. Each target is compiled
// with its libFuzzer entry points renamed (see fuzz/cross), so one program carries both.
//
//   replay LIST      LIST: one input a line, "load PATH" or "edit PATH"
//
// Each input runs once, as libFuzzer runs a file given on its command line; whatever the
// targets print (their ORVANE_FUZZ_TRACE lines) goes to stdout, "Running: PATH" to
// stderr before each input, so a failed check names its input. A failed check traps.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int orvane_load_initialize(int* argc, char*** argv);
extern "C" int orvane_load_test_one_input(const std::uint8_t* data, std::size_t size);
extern "C" int orvane_edit_initialize(int* argc, char*** argv);
extern "C" int orvane_edit_test_one_input(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: replay LIST (lines \"load PATH\" or \"edit PATH\")\n");
    return 2;
  }
  std::ifstream list(argv[1]);
  if (!list) {
    std::fprintf(stderr, "replay: cannot read %s\n", argv[1]);
    return 2;
  }
  orvane_load_initialize(&argc, &argv);
  orvane_edit_initialize(&argc, &argv);
  std::size_t count = 0;
  std::string target;
  std::string path;
  while (list >> target >> path) {
    std::ifstream file(path, std::ios::binary);
    if (!file || (target != "load" && target != "edit")) {
      std::fprintf(stderr, "replay: bad line \"%s %s\"\n", target.c_str(), path.c_str());
      return 2;
    }
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "Running: %s\n", path.c_str());
    std::fflush(stderr);
    // A vector of no bytes may hand out a null pointer; libFuzzer never does.
    const std::uint8_t empty = 0;
    const std::uint8_t* data = input.empty() ? &empty : input.data();
    if (target == "load") {
      orvane_load_test_one_input(data, input.size());
    } else {
      orvane_edit_test_one_input(data, input.size());
    }
    ++count;
  }
  std::fprintf(stderr, "replay: %zu inputs, every check passed\n", count);
  return 0;
}
