// image_load of a 284 x 36 24-bit bitmap into the program's 284 x 36 picture, from a file in
// the temporary directory (the page cache keeps it, so this is the parsing and conversion).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gfx/context.h"
#include "gfx/image.h"

namespace {

std::string write_picture_file() {
    const int width = 284, height = 36, row = (width * 3 + 3) & ~3;
    std::vector<uint8_t> file(54 + static_cast<size_t>(row) * height);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<uint32_t>(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, width);
    put32(22, height);
    file[26] = 1;
    file[28] = 24;
    for (size_t i = 54; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 13);
    std::string path = "/tmp/vx_bench_picture_" + std::to_string(getpid()) + ".bmp";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
    return path;
}

void BM_ImageLoadPicture24(benchmark::State& state) {
    vx::screen_res(720, 190, 32, 1, -1, 0);
    std::string path = write_picture_file();
    void* picture = vx::image_create(284, 36, 0, 0, 0x80000000u);
    for (auto _ : state) benchmark::DoNotOptimize(vx::image_load(path.c_str(), picture, nullptr));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (54 + 852 * 36));
    vx::image_destroy(picture);
    std::remove(path.c_str());
    vx::screen_close();
}

}  // namespace

BENCHMARK(BM_ImageLoadPicture24);
