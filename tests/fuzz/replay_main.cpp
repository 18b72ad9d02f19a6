// Runs a fuzz target over every file of a corpus folder (or over the files
// named on the command line), so the corpus is replayed as an ordinary test
// where no fuzzing engine is present. Also feeds a few fixed inputs so the
// target runs even with an empty corpus.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

static void runFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char** argv) {
    std::size_t files = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path p(argv[i]);
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(p)) {
                if (!entry.is_regular_file()) continue;
                runFile(entry.path());
                ++files;
            }
        } else if (fs::is_regular_file(p, ec)) {
            runFile(p);
            ++files;
        }
    }
    // Fixed inputs: empty, and a few thousand deterministic random ones.
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::mt19937 random(12345);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 2000; ++i) {
        bytes.resize(random() % 600);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu corpus files and 2001 generated inputs\n", files);
    return 0;
}
