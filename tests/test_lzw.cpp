// lzw_expand on hand-made code streams, round trips through an encoder written here, and
// damaged copies of the stored block.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "gfx/fonts.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr unsigned end_code = 4095;

// Two codes per three bytes, low bits first; an odd last code takes two bytes.
Bytes pack(const std::vector<unsigned>& codes) {
    Bytes out;
    for (size_t i = 0; i < codes.size(); i += 2) {
        out.push_back(codes[i] & 0xFF);
        if (i + 1 == codes.size()) {
            out.push_back(static_cast<uint8_t>(codes[i] >> 8));
        } else {
            out.push_back(static_cast<uint8_t>(codes[i] >> 8 | (codes[i + 1] & 0x0F) << 4));
            out.push_back(static_cast<uint8_t>(codes[i + 1] >> 4));
        }
    }
    return out;
}

std::vector<unsigned> encode(const Bytes& data) {
    std::vector<unsigned> codes;
    std::map<std::pair<unsigned, uint8_t>, unsigned> dict;
    unsigned next = 256;
    unsigned current = data[0];
    for (size_t i = 1; i < data.size(); ++i) {
        auto found = dict.find({current, data[i]});
        if (found != dict.end()) {
            current = found->second;
            continue;
        }
        codes.push_back(current);
        if (next <= 4094) dict[{current, data[i]}] = next++;
        current = data[i];
    }
    codes.push_back(current);
    codes.push_back(end_code);
    return codes;
}

struct Expanded {
    int result;
    Bytes out;  // exactly the bytes reported as written
};

// Runs the decoder into a buffer with guard bytes after the capacity and checks that it
// neither reports nor writes more than it may.
Expanded expand(const Bytes& input, size_t capacity) {
    Bytes buffer(capacity + 16, 0xA5);
    size_t count = capacity;
    int result = vx::lzw_expand(input.data(), input.size(), buffer.data(), &count);
    EXPECT_LE(count, capacity);
    for (size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xA5) << "overrun at " << i;
    buffer.resize(count);
    return {result, buffer};
}

Bytes block() {
    Bytes out(vx::builtin_data_size);
    size_t count = out.size();
    EXPECT_EQ(vx::lzw_expand(vx::builtin_data_lzw, vx::builtin_data_lzw_size, out.data(), &count), 0);
    return out;
}

Bytes stored() { return {vx::builtin_data_lzw, vx::builtin_data_lzw + vx::builtin_data_lzw_size}; }

}  // namespace

TEST(LzwExpand, PlainBytesAndEntriesDecode) {
    // 256 = "AB" and 257 = "BA" are made while decoding; 258 is the not-yet-made "ABA".
    auto r = expand(pack({'A', 'B', 256, 258, end_code}), 64);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, (Bytes{'A', 'B', 'A', 'B', 'A', 'B', 'A'}));
}

TEST(LzwExpand, CodeEqualToTheNextFreeOneRepeatsThePreviousStringsFirstByte) {
    // The encoder's "AAA": A, then 256 before the decoder has made it.
    auto r = expand(pack({'A', 256, end_code}), 8);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, (Bytes{'A', 'A', 'A'}));

    // A longer chain of the same case: a run of one byte grows by one entry each time.
    r = expand(pack({'x', 256, 257, 258, end_code}), 64);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, Bytes(1 + 2 + 3 + 4, 'x'));
}

TEST(LzwExpand, EmptyAndEndOnlyStreams) {
    EXPECT_EQ(expand({}, 16).result, -1);
    EXPECT_EQ(vx::lzw_expand(nullptr, 0, nullptr, nullptr), -1);

    // Only the end code: nothing to write, and that is a complete stream.
    auto r = expand(pack({end_code}), 16);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(r.out.empty());
    r = expand(pack({end_code}), 0);
    EXPECT_EQ(r.result, 0);
}

TEST(LzwExpand, TruncatedInputFailsAndKeepsWhatWasDecoded) {
    const Bytes input = pack({'a', 'b', 'c', end_code});  // six bytes
    const Bytes text{'a', 'b', 'c'};
    for (size_t length = 0; length < input.size(); ++length) {
        SCOPED_TRACE(length);
        auto r = expand(Bytes(input.begin(), input.begin() + static_cast<long>(length)), 16);
        EXPECT_EQ(r.result, -1);
        // A code needs every byte it has bits in: two for the first of a pair, three for the
        // second; so a trailing byte with half a code adds nothing.
        size_t codes = length / 3 * 2 + (length % 3 == 2 ? 1 : 0);
        EXPECT_EQ(r.out, Bytes(text.begin(), text.begin() + static_cast<long>(std::min<size_t>(codes, 3))));
    }
    // A trailing byte after the end code changes nothing.
    Bytes padded = pack({'a', end_code});
    padded.push_back(0x7F);
    EXPECT_EQ(expand(padded, 16).result, 0);
}

TEST(LzwExpand, FullDestinationFailsWithTheWholeStringsThatFit) {
    // Strings: "ab", then 256 = "ab" ... a b 256 256
    Bytes input = pack({'a', 'b', 256, 256, end_code});
    auto r = expand(input, 6);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, (Bytes{'a', 'b', 'a', 'b', 'a', 'b'}));

    r = expand(input, 5);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, (Bytes{'a', 'b', 'a', 'b'}));
    r = expand(input, 0);
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(r.out.empty());

    // A null destination is a destination without room.
    size_t count = 100;
    EXPECT_EQ(vx::lzw_expand(input.data(), input.size(), nullptr, &count), -1);
    EXPECT_EQ(count, 0u);
}

TEST(LzwExpand, StoredBlockIntoShortDestinationsKeepsACorrectPrefix) {
    const Bytes full = block();
    const Bytes input = stored();
    for (size_t capacity : {size_t{1}, size_t{100}, size_t{5000}, vx::builtin_data_size - 1}) {
        SCOPED_TRACE(capacity);
        auto r = expand(input, capacity);
        EXPECT_EQ(r.result, -1);
        EXPECT_GT(r.out.size(), capacity > 64 ? capacity - 64 : 0);
        EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), full.begin()));
    }
    EXPECT_EQ(expand(input, vx::builtin_data_size).result, 0);
}

TEST(LzwExpand, CodesNoEncoderCouldHaveMadeAreRejected) {
    // Beyond the next free code.
    auto r = expand(pack({'A', 'B', 258, end_code}), 16);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, (Bytes{'A', 'B'}));
    r = expand(pack({'A', 4094, end_code}), 16);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, (Bytes{'A'}));

    // A first code with no dictionary behind it yet.
    r = expand(pack({256, 'A', end_code}), 16);
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(r.out.empty());
}

TEST(LzwExpand, RoundTripsThroughAFullDictionary) {
    // Enough varied data that the encoder uses every entry up to 4094 and then keeps coding
    // with a frozen dictionary.
    std::mt19937 rng(7);
    Bytes data;
    for (int i = 0; i < 60000; ++i) data.push_back(static_cast<uint8_t>('a' + rng() % 6));
    for (int i = 0; i < 3000; ++i) data.push_back('z');
    std::vector<unsigned> codes = encode(data);
    // Every code but the first made an entry until 4094 was made; thousands came after.
    ASSERT_GT(codes.size(), 1 + (4094 - 256 + 1) + 1000u);
    EXPECT_GT(*std::max_element(codes.begin(), codes.end() - 1), 4000u);

    auto r = expand(pack(codes), data.size());
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, data);
}

TEST(LzwExpand, RoundTripsEveryByteValue) {
    Bytes data;
    for (int v = 0; v < 256; ++v) data.push_back(static_cast<uint8_t>(v));
    for (int v = 0; v < 256; v += 3) data.insert(data.end(), 1 + v % 7, static_cast<uint8_t>(v));
    auto r = expand(pack(encode(data)), data.size());
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, data);
}

TEST(LzwExpand, LongestPossibleChainFillsTheDictionaryAndStillDecodes) {
    // One byte repeated: each code is the entry not made yet, one byte longer than the one
    // before, up to 4094 = 3,840 bytes. Then 4094 again, read from a frozen dictionary.
    std::vector<unsigned> codes{'x'};
    for (unsigned c = 256; c <= 4094; ++c) codes.push_back(c);
    codes.push_back(4094);
    codes.push_back(end_code);
    const size_t length = 3840u * 3841u / 2u + 3840u;
    auto r = expand(pack(codes), length);
    EXPECT_EQ(r.result, 0);
    ASSERT_EQ(r.out.size(), length);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), 'x'), static_cast<long>(length));
}

TEST(LzwExpand, DamagedStoredBlockNeverOverrunsTheDestination) {
    const Bytes original = stored();
    std::mt19937 rng(11);
    for (int trial = 0; trial < 300; ++trial) {
        Bytes input = original;
        for (int flips = 1 + trial % 4; flips > 0; --flips)
            input[rng() % input.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        input.resize(input.size() - rng() % 8);
        auto r = expand(input, 1 + rng() % (vx::builtin_data_size + 100));
        EXPECT_TRUE(r.result == 0 || r.result == -1);
    }
}
