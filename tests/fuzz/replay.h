// Replays a fuzz target's committed corpus through its libFuzzer entry inside an ordinary
// GoogleTest program, so the normal suite catches a regression on any saved input.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vx_fuzz {

using FuzzEntry = int (*)(const uint8_t* data, size_t size);

inline std::filesystem::path corpus_dir(const std::string& target) {
    return std::filesystem::path(VX_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / target;
}

// Runs every file of tests/fuzz/corpus/<target>/ in name order and returns how many ran. A
// crashing input ends the test program; the line printed before it names the file.
inline size_t replay_corpus(const std::string& target, FuzzEntry entry) {
    std::vector<std::filesystem::path> files;
    for (const auto& item : std::filesystem::directory_iterator(corpus_dir(target)))
        if (item.is_regular_file()) files.push_back(item.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::fprintf(stderr, "replaying %s\n", file.c_str());
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(in.good() || in.eof()) << file;
        entry(bytes.data(), bytes.size());
    }
    return files.size();
}

}  // namespace vx_fuzz
