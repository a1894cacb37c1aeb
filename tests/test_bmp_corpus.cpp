// The image_load fuzz target's saved inputs (seeds and the inputs the fuzzer found), replayed
// through its entry in the ordinary suite: a crash or a broken check on any of them fails here.
#include "tests/fuzz/fuzz_image_load.cpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<std::filesystem::path> corpus_files() {
    std::vector<std::filesystem::path> files;
    auto dir = std::filesystem::path(VX_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / "image_load";
    for (const auto& item : std::filesystem::directory_iterator(dir))
        if (item.is_regular_file()) files.push_back(item.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(FuzzReplay, ImageLoadCorpus) {
    std::vector<std::filesystem::path> files = corpus_files();
    EXPECT_GE(files.size(), 40u);
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_TRUE(in.good() || in.eof());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    vx::screen_close();
}
