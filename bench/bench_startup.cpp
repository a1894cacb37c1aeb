// The program's start-up paint (app_start on the scripted driver: the screen opened and
// cleared, the picture loaded and put, 60 keys, labels, four sliders with captions) against a
// memcpy of one whole frame, the least any paint of every pixel costs; and image_load of the
// program's own picture against reading the same file with stdio.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/keyboard/piano.h"
#include "gfx/context.h"
#include "gfx/image.h"
#include "tests/support/fake_driver.h"

namespace {

constexpr size_t kFrameBytes = 720 * 190 * 4;
const std::string kAssets = std::string(VX_SOURCE_DIR) + "/assets";

// The program finds its picture in the working directory.
struct InAssets {
    char previous[4096] = {};
    InAssets() {
        if (!getcwd(previous, sizeof previous)) previous[0] = 0;
        if (chdir(kAssets.c_str()) != 0) std::perror("chdir");
    }
    ~InAssets() {
        if (previous[0] && chdir(previous) != 0) std::perror("chdir");
    }
};

void BM_StartUpPaint(benchmark::State& state) {
    InAssets here;
    setenv("VXMIDI", "raw:/dev/null", 1);
    vxtest::use_fake_driver();
    for (auto _ : state) {
        void* sheet = nullptr;
        if (!app::app_start(&sheet)) {
            state.SkipWithError("app_start failed");
            break;
        }
        state.PauseTiming();
        app::app_stop(sheet);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
    vxtest::restore_drivers();
    unsetenv("VXMIDI");
}
BENCHMARK(BM_StartUpPaint)->Unit(benchmark::kMicrosecond);

// The part of the start-up that is not painting: the screen opened and cleared.
void BM_StartUpScreenOpenOnly(benchmark::State& state) {
    vxtest::use_fake_driver();
    for (auto _ : state) benchmark::DoNotOptimize(vx::screen_res(720, 190, 32, 0, 4, 0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
    vxtest::restore_drivers();
}
BENCHMARK(BM_StartUpScreenOpenOnly)->Unit(benchmark::kMicrosecond);

void BM_MemcpyOfOneFrame(benchmark::State& state) {
    std::vector<uint8_t> a(kFrameBytes, 1), b(kFrameBytes);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), kFrameBytes);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(BM_MemcpyOfOneFrame)->Unit(benchmark::kMicrosecond);

void BM_ImageLoadProgramPicture(benchmark::State& state) {
    vx::screen_res(720, 190, 32, 1, -1, 0);
    const std::string path = kAssets + "/piano_k.bmp";
    void* picture = vx::image_create(284, 36, 0, 0, 0x80000000u);
    for (auto _ : state)
        if (vx::image_load(path.c_str(), picture, nullptr) != 0) {
            state.SkipWithError("image_load failed");
            break;
        }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 284 * 36 * 4));
    vx::image_destroy(picture);
    vx::screen_close();
}
BENCHMARK(BM_ImageLoadProgramPicture)->Unit(benchmark::kMicrosecond);

// The floor under any loader: opening and reading the same file through stdio.
void BM_ReadPictureFile(benchmark::State& state) {
    const std::string path = kAssets + "/piano_k.bmp";
    std::vector<char> bytes(64 * 1024);
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) {
            state.SkipWithError("cannot open the picture");
            break;
        }
        benchmark::DoNotOptimize(std::fread(bytes.data(), 1, bytes.size(), file));
        std::fclose(file);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 284 * 36 * 4));
}
BENCHMARK(BM_ReadPictureFile)->Unit(benchmark::kMicrosecond);

}  // namespace
