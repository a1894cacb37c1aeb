// The plain and wide put routines on the same seeded random inputs, compared byte for byte:
// odd widths, misaligned starts, padded pitches whose padding must stay untouched, and the
// meaning of each routine checked on the plain result. The wide transparent puts are checked
// in both forms a processor may run: with AVX2 and SSE2 only.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <vector>

#include "gfx/image.h"
#include "gfx/pixels.h"

using namespace vx;

namespace {

constexpr int32_t kWidths[] = {0, 1, 2, 3, 4, 5, 15, 16, 17, 31, 32, 33, 63, 64, 65, 129};
// Row lengths in bytes around the 16-, 32- and 128-byte steps of the wide puts.
constexpr int32_t kRowBytes[] = {4, 12, 16, 20, 28, 32, 36, 44, 48, 60, 124, 128, 132, 156, 160, 164, 252, 256, 260, 300};
constexpr int32_t kHeights[] = {1, 3};
constexpr size_t kGuard = 48;

struct Case {
    int32_t width, height;
    int src_bpp, dst_bpp;
    size_t src_misalign, dst_misalign;
    int32_t src_pad, dst_pad;  // bytes after each row's pixels
    unsigned mask_one_in;      // share of mask pixels: dense, or so sparse that whole blocks are opaque
    int32_t mask_period = 0;   // instead, mask only the first and last pixel of every this many bytes
};

// Block edges counted from either end of the row: the wide puts cut rows into blocks from
// the start (AVX2) or after the leftover pixels (SSE2).
bool at_block_edge(const Case& c, int32_t x) {
    int32_t from_start = x * c.src_bpp % c.mask_period, from_end = (c.width - x) * c.src_bpp % c.mask_period;
    int32_t last = c.mask_period - c.src_bpp;
    return from_start == 0 || from_start == last || from_end == 0 || from_end == c.src_bpp;
}

// Source pixels: random, with mask values (every form of them at 32 bits) one in
// `mask_one_in` or at block edges, plus a run at the start of some rows, so that transparent
// runs, single holes and wholly opaque blocks all occur.
std::vector<uint8_t> make_source(std::mt19937& rng, const Case& c, int32_t pitch) {
    std::vector<uint8_t> bytes(kGuard * 2 + c.src_misalign + static_cast<size_t>(pitch) * c.height);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    uint8_t* p = bytes.data() + kGuard + c.src_misalign;
    for (int32_t y = 0; y < c.height; ++y)
        for (int32_t x = 0; x < c.width; ++x) {
            uint8_t* px = p + y * pitch + x * c.src_bpp;
            bool mask = c.mask_period ? at_block_edge(c, x) : rng() % c.mask_one_in == 0 || (y == 1 && x < c.width / 2);
            if (!mask) continue;
            if (c.src_bpp == 1) *px = 0;
            else if (c.src_bpp == 2) store16(px, 0xF81F);
            else store32(px, (rng() & 0xFF000000u) | 0x00FF00FFu);
        }
    return bytes;
}

std::vector<uint8_t> make_target(std::mt19937& rng, const Case& c, int32_t pitch) {
    std::vector<uint8_t> bytes(kGuard * 2 + c.dst_misalign + static_cast<size_t>(pitch) * c.height);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

// Runs both variants on copies of the same target; returns the plain result after checking
// that the wide one equals it.
template <typename Check>
void run_both(const Case& c, put_fn plain, put_fn wide, std::mt19937& rng, Check check) {
    int32_t src_pitch = c.width * c.src_bpp + c.src_pad, dst_pitch = c.width * c.dst_bpp + c.dst_pad;
    std::vector<uint8_t> source = make_source(rng, c, src_pitch);
    std::vector<uint8_t> original = make_target(rng, c, dst_pitch);
    std::vector<uint8_t> a = original, b = original;
    const uint8_t* src = source.data() + kGuard + c.src_misalign;
    size_t offset = kGuard + c.dst_misalign;
    plain(src, a.data() + offset, c.width, c.height, src_pitch, dst_pitch, 0xFFFFFFFFu, nullptr, nullptr);
    wide(src, b.data() + offset, c.width, c.height, src_pitch, dst_pitch, 0xFFFFFFFFu, nullptr, nullptr);
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], b[i]) << "first differing byte " << i << " (target offset " << static_cast<long>(i - offset)
                              << ") width " << c.width << " height " << c.height << " misalign " << c.src_misalign
                              << "/" << c.dst_misalign << " pads " << c.src_pad << "/" << c.dst_pad << " mask "
                              << c.mask_one_in << "/" << c.mask_period;
    // Only the put's pixels may change: guards and row padding keep their bytes.
    for (size_t i = 0; i < a.size(); ++i) {
        long rel = static_cast<long>(i) - static_cast<long>(offset);
        bool inside = rel >= 0 && rel < static_cast<long>(dst_pitch) * c.height && rel % dst_pitch < c.width * c.dst_bpp;
        if (!inside) {
            ASSERT_EQ(a[i], original[i]) << "byte outside the put changed at target offset " << rel;
        }
    }
    for (int32_t y = 0; y < c.height; ++y)
        for (int32_t x = 0; x < c.width; ++x)
            check(src + y * src_pitch + x * c.src_bpp, original.data() + offset + y * dst_pitch + x * c.dst_bpp,
                  a.data() + offset + y * dst_pitch + x * c.dst_bpp, x, y);
}

template <typename Check>
void for_every_case(int src_bpp, int dst_bpp, put_fn plain, put_fn wide, unsigned seed, Check check) {
    std::mt19937 rng(seed);
    for (int32_t width : kWidths)
        for (int32_t height : kHeights)
            for (size_t src_misalign : {0, 1, 3})
                for (size_t dst_misalign : {0, 2, 5})
                    for (int32_t pad : {0, 3, 16})
                        for (unsigned mask_one_in : {3u, 500u}) {
                            Case c{width, height, src_bpp, dst_bpp, src_misalign, dst_misalign, pad, pad + 5, mask_one_in};
                            run_both(c, plain, wide, rng, check);
                            if (::testing::Test::HasFatalFailure()) return;
                        }
}

// Every start of the target within a 32-byte block (the buffers start 16-byte aligned), with
// the source on the same or another offset, rows ending just before, on and after each step,
// and the mask scattered, dense or on block edges.
template <typename Check>
void for_every_alignment(int bpp, put_fn plain, put_fn wide, unsigned seed, Check check) {
    std::mt19937 rng(seed);
    for (int32_t row_bytes : kRowBytes)
        for (size_t dst_misalign = 0; dst_misalign < 32; ++dst_misalign)
            for (size_t src_misalign : {dst_misalign, (dst_misalign + 13) % 32})
                for (int32_t period : {0, 32, 128})
                    for (unsigned mask_one_in : {3u, 500u}) {
                        if (period && mask_one_in != 3u) continue;
                        Case c{row_bytes / bpp, 3, bpp, bpp, src_misalign, dst_misalign, 3, 7, mask_one_in, period};
                        run_both(c, plain, wide, rng, check);
                        if (::testing::Test::HasFatalFailure()) return;
                    }
}

struct NamedTable {
    const TransRoutines* table;
    const char* name;
};
const NamedTable kWideTables[] = {{&put_trans_sse2, "wide"}, {&put_trans_sse2_only, "sse2 only"}};

void check8(const uint8_t* s, const uint8_t* before, const uint8_t* after, int x, int y) {
    ASSERT_EQ(*after, *s ? *s : *before) << "pixel (" << x << ", " << y << ")";
}

void check16(const uint8_t* s, const uint8_t* before, const uint8_t* after, int x, int y) {
    uint16_t v = load16(s);
    ASSERT_EQ(load16(after), v == 0xF81F ? load16(before) : v) << "pixel (" << x << ", " << y << ")";
}

void check32(const uint8_t* s, const uint8_t* before, const uint8_t* after, int x, int y) {
    uint32_t v = load32(s) & 0x00FFFFFFu;
    ASSERT_EQ(load32(after), v == 0x00FF00FFu ? load32(before) : v) << "pixel (" << x << ", " << y << ")";
}

// One page of memory between two inaccessible ones, so that a read or write of a single
// byte before or after it faults at once.
class GuardedPage {
public:
    GuardedPage() : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void* p = mmap(nullptr, size_ * 3, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<uint8_t*>(p);
        if (mprotect(base_ + size_, size_, PROT_READ | PROT_WRITE) != 0) release();
    }
    ~GuardedPage() { release(); }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;
    bool ok() const { return base_ != nullptr; }
    uint8_t* begin() const { return base_ + size_; }
    uint8_t* end() const { return base_ + 2 * size_; }

private:
    void release() {
        if (base_) munmap(base_, size_ * 3);
        base_ = nullptr;
    }
    size_t size_;
    uint8_t* base_ = nullptr;
};

}  // namespace

TEST(PutVariants, Transparent8) {
    for (const NamedTable& wide : kWideTables) {
        SCOPED_TRACE(wide.name);
        for_every_case(1, 1, put_trans_plain.slots[0], wide.table->slots[0], 1, check8);
        for_every_alignment(1, put_trans_plain.slots[0], wide.table->slots[0], 11, check8);
    }
}

TEST(PutVariants, Transparent16) {
    for (const NamedTable& wide : kWideTables) {
        SCOPED_TRACE(wide.name);
        for_every_case(2, 2, put_trans_plain.slots[1], wide.table->slots[1], 2, check16);
        for_every_alignment(2, put_trans_plain.slots[1], wide.table->slots[1], 12, check16);
    }
}

TEST(PutVariants, Transparent32) {
    for (const NamedTable& wide : kWideTables) {
        SCOPED_TRACE(wide.name);
        for_every_case(4, 4, put_trans_plain.slots[3], wide.table->slots[3], 3, check32);
        for_every_alignment(4, put_trans_plain.slots[3], wide.table->slots[3], 13, check32);
    }
}

TEST(PutVariants, AlphaMask) {
    for_every_case(1, 4, put_alpha_mask_plain, put_alpha_mask_sse2, 4,
                   [](const uint8_t* s, const uint8_t* before, const uint8_t* after, int x, int y) {
                       ASSERT_EQ(load32(after), (load32(before) & 0x00FFFFFFu) | uint32_t{*s} << 24)
                           << "pixel (" << x << ", " << y << ")";
                   });
}

TEST(PutVariants, TheThreeByteSlotIsEmptyInEveryTable) {
    EXPECT_EQ(put_trans_plain.slots[2], nullptr);
    EXPECT_EQ(put_trans_sse2.slots[2], nullptr);
    EXPECT_EQ(put_trans_sse2_only.slots[2], nullptr);
    for (int slot : {0, 1, 3}) {
        EXPECT_NE(put_trans_plain.slots[slot], nullptr);
        EXPECT_NE(put_trans_sse2.slots[slot], put_trans_plain.slots[slot]) << "the wide table has its own routines";
        EXPECT_NE(put_trans_sse2_only.slots[slot], put_trans_plain.slots[slot]);
    }
}

// On a processor with AVX2 the wide table holds the AVX2 routines, so the tests above cover
// both forms.
TEST(PutVariants, TheWideTableTakesTheAvx2RoutinesWhereTheProcessorHasThem) {
    __builtin_cpu_init();
    bool avx2 = __builtin_cpu_supports("avx2");
    for (int slot : {0, 1, 3})
        EXPECT_EQ(put_trans_sse2.slots[slot] != put_trans_sse2_only.slots[slot], avx2) << "slot " << slot;
}

// A single row that starts at the very beginning or ends at the very end of its memory, in
// the source and in the target: a wide put that read or wrote one byte outside the row would
// fault. The result still equals the plain put's.
TEST(PutVariants, TransparentPutsStayInsideTheRow) {
    GuardedPage source, target;
    ASSERT_TRUE(source.ok() && target.ok());
    std::mt19937 rng(14);
    std::vector<uint8_t> src_bytes(300), before(300), expected(300);
    for (const NamedTable& wide : kWideTables)
        for (int slot : {0, 1, 3}) {
            const int32_t bpp = slot + 1;
            for (int32_t width = 1; width * bpp <= 300; ++width) {
                const size_t bytes = static_cast<size_t>(width) * bpp;
                for (auto& b : src_bytes) b = static_cast<uint8_t>(rng());
                for (int32_t x = 0; x < width; ++x) {
                    if (rng() % 4) continue;
                    uint32_t mask = mask_colour(bpp) & (bpp == 4 ? (rng() | 0x00FFFFFFu) : 0xFFFFu);
                    std::memcpy(src_bytes.data() + x * bpp, &mask, static_cast<size_t>(bpp));
                }
                for (auto& b : before) b = static_cast<uint8_t>(rng());
                expected = before;
                put_trans_plain.slots[slot](src_bytes.data(), expected.data(), width, 1, 0, 0, 0, nullptr, nullptr);
                for (bool at_end : {false, true}) {
                    uint8_t* src = at_end ? source.end() - bytes : source.begin();
                    uint8_t* dst = at_end ? target.end() - bytes : target.begin();
                    std::memcpy(src, src_bytes.data(), bytes);
                    std::memcpy(dst, before.data(), bytes);
                    wide.table->slots[slot](src, dst, width, 1, 0, 0, 0, nullptr, nullptr);
                    ASSERT_EQ(std::memcmp(dst, expected.data(), bytes), 0)
                        << wide.name << " bytes per pixel " << bpp << " width " << width << (at_end ? " at the end" : " at the start");
                }
            }
        }
}
