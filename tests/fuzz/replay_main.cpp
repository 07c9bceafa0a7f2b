// Replays every file of a corpus folder through a fuzz target's entry point.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  int replayed = 0;
  std::error_code error;
  if (argc == 2)
    for (const auto& entry : std::filesystem::directory_iterator(argv[1], error)) {
      if (entry.path().filename().string()[0] == '.') continue;
      std::ifstream file(entry.path(), std::ios::binary);
      std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(data.data(), data.size());
      ++replayed;
    }
  std::printf("replayed %d inputs from %s\n", replayed, argc == 2 ? argv[1] : "(usage: replay CORPUS_DIR)");
  return replayed > 0 ? 0 : 1;
}
