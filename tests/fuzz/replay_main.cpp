// Replays every file of a corpus folder through a fuzz target's entry point.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  DIR* dir = opendir(argv[1]);
  if (dir == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 2;
  }
  int replayed = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string path = std::string(argv[1]) + "/" + entry->d_name;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) continue;
    std::vector<uint8_t> data;
    int c;
    while ((c = std::fgetc(file)) != EOF) data.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    ++replayed;
  }
  closedir(dir);
  std::printf("replayed %d inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
