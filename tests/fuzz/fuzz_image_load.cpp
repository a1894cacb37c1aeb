// libFuzzer target: image_load on arbitrary files, each input loaded once into every kind of
// destination the loader knows: a 284 x 36 32-bit image on a 720 x 190 x 32 screen (the
// program's picture, then put on the screen as the program does), a legacy-header image, a
// 16-bit image, that screen itself, and an 8-bit screen with a palette buffer. Screens,
// images and the palette buffer are heap blocks of exactly their size, so AddressSanitizer
// sees any byte read or written beyond them.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "gfx/bmp_load.h"
#include "gfx/context.h"
#include "gfx/image.h"
#include "runtime/runtime.h"

namespace {

// The input goes through a file, as the program's picture does; one per process.
struct FuzzImageLoadFile {
    std::string path = "/tmp/vx_fuzz_image_load_" + std::to_string(getpid()) + ".bmp";
    ~FuzzImageLoadFile() { std::remove(path.c_str()); }
};

const char* fuzz_image_load_write(const uint8_t* data, size_t size) {
    static FuzzImageLoadFile file;
    std::FILE* out = std::fopen(file.path.c_str(), "wb");
    if (!out) return nullptr;
    bool written = size == 0 || std::fwrite(data, 1, size, out) == size;
    if (std::fclose(out) != 0 || !written) return nullptr;
    return file.path.c_str();
}

void fuzz_image_load_expect(bool condition) {
    if (!condition) __builtin_trap();
}

// Loads into a new image, checks that its header still describes no more than its block, and
// puts it on the screen the way the program puts its picture.
void fuzz_image_load_into_image(const char* path, int32_t width, int32_t height, int32_t depth, bool legacy) {
    vx::rt_legacy_header_mode = legacy;
    void* image = vx::image_create(width, height, 0, depth, 0x80000000u);
    vx::rt_legacy_header_mode = false;
    fuzz_image_load_expect(image != nullptr);
    int64_t block = vx::image_block_size(vx::image_view(image, 4), 4);
    int code = vx::image_load(path, image, nullptr);
    fuzz_image_load_expect(code >= 0 && code <= 3);
    int64_t after = vx::image_block_size(vx::image_view(image, 4), 4);
    fuzz_image_load_expect(after >= 0 && after <= block);
    vx::put_image(nullptr, 400, 1, image, vx::whole_image, 0, 0, 0, 0, vx::put_mode_trans, vx::put_trans, 0xFFFFFFFFu,
                  nullptr, nullptr);
    vx::image_destroy(image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = fuzz_image_load_write(data, size);
    if (!path) return 0;

    fuzz_image_load_expect(vx::screen_res(720, 190, 32, 1, -1, 0) == 0);
    fuzz_image_load_into_image(path, 284, 36, 0, false);
    fuzz_image_load_into_image(path, 284, 36, 0, true);
    fuzz_image_load_into_image(path, 33, 7, 16, false);
    int code = vx::image_load(path, nullptr, nullptr);
    fuzz_image_load_expect(code >= 0 && code <= 3);

    fuzz_image_load_expect(vx::screen_res(160, 100, 8, 1, -1, 0) == 0);
    auto palette = std::make_unique<uint32_t[]>(256);
    code = vx::image_load(path, nullptr, palette.get());
    fuzz_image_load_expect(code >= 0 && code <= 3);
    return 0;
}
