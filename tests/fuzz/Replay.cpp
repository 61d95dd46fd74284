// Runs a fuzzing harness over saved inputs without libFuzzer, so that the
// ordinary builds (and the sanitizer build) replay the seed corpus and every
// input kept from a finding: replay FILE-OR-DIRECTORY...
//
// replay --random COUNT SEED runs it over COUNT inputs of random bytes (up to
// 2,000 each) made from SEED instead: a stateful harness reads any bytes as
// a program, so this is a seeded random test of it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

namespace {

int RunRandom(unsigned long count, unsigned long seed)
{
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    std::vector<std::uint8_t> data;
    for (unsigned long i = 0; i < count; ++i) {
        data.resize(1 + random() % 2000);
        for (std::uint8_t& b : data) b = static_cast<std::uint8_t>(random());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("ran %lu random inputs from seed %lu\n", count, seed);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--random") {
        if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
        return RunRandom(std::stoul(argv[2]), std::stoul(argv[3]));
    }
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        // Paths are taken before the harness may change the current directory.
        const fs::path given = fs::absolute(argv[i]);
        if (fs::is_directory(given)) {
            for (const auto& entry : fs::directory_iterator(given))
                if (entry.is_regular_file()) files.push_back(entry.path().string());
        } else {
            files.push_back(given.string());
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // An empty vector's data() may be null; the harnesses get a pointer.
        static const std::uint8_t none = 0;
        LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
