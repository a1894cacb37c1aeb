// The LZW fuzz target's saved inputs, replayed in the ordinary suite, and a check that every
// fuzz target has its seeds and a replay test like this one.
#include "tests/fuzz/fuzz_lzw.cpp"
#include "tests/fuzz/replay.h"

#include <fstream>
#include <sstream>

TEST(FuzzReplay, LzwCorpus) {
    EXPECT_GE(vx_fuzz::replay_corpus("lzw", LLVMFuzzerTestOneInput), 5u);
}

TEST(FuzzReplay, EveryFuzzTargetHasASeedCorpusAndAReplayTest) {
    namespace fs = std::filesystem;
    const fs::path source = VX_SOURCE_DIR;
    std::string replay_sources;
    for (const auto& item : fs::directory_iterator(source / "tests")) {
        const std::string name = item.path().filename().string();
        if (name.rfind("test_", 0) != 0 || item.path().extension() != ".cpp") continue;
        std::ifstream in(item.path());
        std::ostringstream text;
        text << in.rdbuf();
        replay_sources += text.str();
    }
    for (const auto& item : fs::directory_iterator(source / "tests" / "fuzz")) {
        const std::string file = item.path().filename().string();
        if (file.rfind("fuzz_", 0) != 0 || item.path().extension() != ".cpp") continue;
        const std::string target = item.path().stem().string().substr(5);
        EXPECT_TRUE(fs::is_directory(vx_fuzz::corpus_dir(target)))
            << "tests/fuzz/" << file << " has no seed corpus tests/fuzz/corpus/" << target << "/";
        EXPECT_NE(replay_sources.find("#include \"tests/fuzz/" + file + "\""), std::string::npos)
            << "no tests/test_*.cpp replays tests/fuzz/" << file << " (see tests/fuzz/README.md)";
    }
}
