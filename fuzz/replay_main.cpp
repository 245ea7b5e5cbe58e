// Runs a fuzz target over files and directories of inputs, so that the
// targets build without libFuzzer and their corpus replays as a test.  An
// input that cannot be read fails the run: a corpus that silently replays
// nothing would prove nothing.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool run(const std::filesystem::path& file) {
  std::error_code error;
  std::ifstream in(file, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!std::filesystem::is_regular_file(file, error) || !in.is_open() || in.bad()) {
    std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
    return false;
  }
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

int main(int argc, char** argv) {
  size_t inputs = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(arg, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg, error)) {
        ok = run(entry.path()) && ok;
        ++inputs;
      }
      if (error) {
        std::fprintf(stderr, "replay: cannot list %s: %s\n", arg.c_str(), error.message().c_str());
        ok = false;
      }
    } else {
      ok = run(arg) && ok;
      ++inputs;
    }
  }
  std::printf("replayed %zu inputs\n", inputs);
  return ok && inputs > 0 ? 0 : 1;
}
