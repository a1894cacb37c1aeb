// libFuzzer target: image_load on arbitrary files, each input loaded once into every kind of
// destination the loader knows: a 284 x 36 32-bit image on a 720 x 190 x 32 screen (the
// program's picture, then put on the screen as the program does), a legacy-header image, a
// 16-bit image, that screen itself, and an 8-bit screen with a palette buffer. Screens,
// images and the palette buffer are heap blocks of exactly their size, so AddressSanitizer
// sees any byte read or written beyond them.
//
// Opening the 720 x 190 x 32 screen costs far more than loading a file (its page is a fresh
// mapping each time under AddressSanitizer), so both screens are opened once per process and
// switched with screen_release / screen_restore; before each input they get back what a load
// or a put can change on them: pixels, palettes, dirty lines, and a fresh drawing state.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gfx/context.h"
#include "gfx/image.h"
#include "runtime/runtime.h"

namespace {

// The input goes through a file opened by name, as the program's picture does: a memory file
// (a regular file to fstat), rewritten for each input, so no disk write-back slows the fuzzer.
struct FuzzImageLoadFile {
    int fd = memfd_create("vx_fuzz_image_load", MFD_CLOEXEC);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    ~FuzzImageLoadFile() {
        if (fd >= 0) close(fd);
    }
};

const char* fuzz_image_load_write(const uint8_t* data, size_t size) {
    static FuzzImageLoadFile file;
    if (file.fd < 0 || ftruncate(file.fd, 0) != 0) return nullptr;
    for (size_t done = 0; done < size;) {
        ssize_t n = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) return nullptr;
        done += static_cast<size_t>(n);
    }
    return file.path.c_str();
}

void fuzz_image_load_expect(bool condition) {
    if (!condition) __builtin_trap();
}

// A screen on the null driver kept for the whole process, with the state it was opened in.
struct FuzzImageLoadScreen {
    vx::GfxContext* ctx = nullptr;
    std::vector<uint8_t> page, dirty;
    uint32_t master_palette[256], device_palette[256];
    uint8_t attribute_map[16];

    FuzzImageLoadScreen(int width, int height, int depth) {
        fuzz_image_load_expect(vx::screen_res(width, height, depth, 1, -1, 0) == 0);
        ctx = vx::screen_release();
        fuzz_image_load_expect(ctx != nullptr && ctx->page_count == 1);
        page.assign(ctx->pages[0].get(), ctx->pages[0].get() + static_cast<size_t>(ctx->pitch) * ctx->height);
        dirty.assign(ctx->dirty.get(), ctx->dirty.get() + static_cast<size_t>(ctx->height) * ctx->scale);
        std::memcpy(master_palette, ctx->master_palette, sizeof master_palette);
        std::memcpy(device_palette, ctx->device_palette, sizeof device_palette);
        std::memcpy(attribute_map, ctx->attribute_map, sizeof attribute_map);
    }
    ~FuzzImageLoadScreen() { delete ctx; }

    // Makes it the open screen, as it was when it was opened.
    void open() {
        std::memcpy(ctx->pages[0].get(), page.data(), page.size());
        std::memcpy(ctx->dirty.get(), dirty.data(), dirty.size());
        std::memcpy(ctx->master_palette, master_palette, sizeof master_palette);
        std::memcpy(ctx->device_palette, device_palette, sizeof device_palette);
        std::memcpy(ctx->attribute_map, attribute_map, sizeof attribute_map);
        vx::screen_restore(ctx);
    }
    void close() { fuzz_image_load_expect(vx::screen_release() == ctx); }
};

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

    static FuzzImageLoadScreen wide(720, 190, 32), small(160, 100, 8);

    wide.open();
    fuzz_image_load_into_image(path, 284, 36, 0, false);
    fuzz_image_load_into_image(path, 284, 36, 0, true);
    fuzz_image_load_into_image(path, 33, 7, 16, false);
    int code = vx::image_load(path, nullptr, nullptr);
    fuzz_image_load_expect(code >= 0 && code <= 3);
    wide.close();

    small.open();
    auto palette = std::make_unique<uint32_t[]>(256);
    code = vx::image_load(path, nullptr, palette.get());
    fuzz_image_load_expect(code >= 0 && code <= 3);
    small.close();
    return 0;
}
