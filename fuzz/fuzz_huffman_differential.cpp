// The table-driven Huffman decoder must do exactly what the tree-walking one
// did (fuzz/reference_huffman.cpp): on any granule fields, scale factors,
// budget, starting position and main data, the same result, the same 576
// spectral floats bit for bit, the same quantised values, the same band ends,
// the same reader position afterwards and the same messages. Decoded again
// without keeping the quantised values, as the library's clients do, it must
// give the same in everything else; and a long block decoded in one loop with
// a second, as the two channels of a granule are, the same as alone.
//
// The tree walk is the one reference. The decoder it was first held to here
// (per-code lookups, one pair at a time) is not kept as a second one: it was
// itself held to the tree walk, so anything it could tell apart the tree walk
// tells apart too, and each input would cost a third decoding.
//
// Input layout (missing bytes read as 0):
//   0      sampling index (mod 9)
//   1      bits 0-1 block type, 2 mixed, 3 preflag, 4 scalefac_scale,
//          5 count1table_select, 6 mid/side (+2 on the gains)
//   2-3    part2_3_length (12 bits)
//   4-5    big_values (mod 320: above 288 is clamped)
//   6-8    table_select of the three regions (5 bits each)
//   9-12   region1_start, region2_start (each mod 320)
//   13     global_gain
//   14-16  subblock gains (3 bits each)
//   17     scale-factor bits already read (part2_bits)
//   18     bit index of the first bit (low 3 bits)
//   19-20  where the main data starts in the 2304-byte frame buffer: 512 +
//          (value mod 1792), so a granule may start close to the end
//   21-59  the 39 scale factors (5 bits each)
//   60-    the main data
// The tables are compared too: LLVMFuzzerInitialize stops at once if a
// generated table differs from the one computed at run time, the fast pair
// tables included (worked out from the code trees index by index), so that a
// wrong entry the inputs happen not to reach is still found.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "decoder/common/bit_reader.h"
#include "decoder/decoder.h"
#include "decoder/input_chain.h"
#include "decoder/layer3/huffman_requantise.h"
#include "fuzz/reference_huffman.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "huffman differential: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

struct Outcome {
    int result;
    std::array<float, 576> spectrum;
    std::array<std::int16_t, 576> quantised;
    GranuleInfo granule;
    std::ptrdiff_t byte_offset;
    std::int32_t bit_index;
    std::string messages;
};

std::string message_text;
void collect_message(void*, int stream, const char* text, std::size_t length) {
    message_text += static_cast<char>('0' + stream);
    message_text.append(text, length);
}

DecoderState message_state;
std::array<std::uint8_t, FRAME_BUFFER_SIZE> buffer;

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::uint32_t byte(std::size_t i) const { return i < size ? data[i] : 0u; }
};

template <typename Decode>
void run(Outcome& out, const GranuleInfo& granule, std::size_t start, int bit_index, Decode decode) {
    out.granule = granule;
    out.spectrum.fill(-7.25f);  // anything left unwritten shows
    message_text.clear();
    bit_reader_attach(buffer.data(), buffer.size(), buffer.data() + start);
    bit_reader.bit_index = bit_index;
    out.result = decode(out);
    out.byte_offset = bit_reader.byte_pointer - buffer.data();
    out.bit_index = bit_reader.bit_index;
    out.messages = message_text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (const int table = reference::build_tables_and_compare(); table != 0) {
        std::fprintf(stderr, "generated table %d differs from the run-time computation\n", table);
        fail("tables");
    }
    message_state.message_sink = MessageSink{collect_message, nullptr};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input in{data, size};
    const int sampling_index = static_cast<int>(in.byte(0) % 9);
    const std::uint32_t flags = in.byte(1);

    GranuleInfo g{};
    g.block_type = flags & 3u;
    g.mixed_block_flag = (flags >> 2) & 1u;
    g.preflag = (flags >> 3) & 1u;
    g.scalefac_scale = (flags >> 4) & 1u;
    g.count1table_select = (flags >> 5) & 1u;
    const int mid_side = (flags >> 6) & 1u;
    g.part2_3_length = ((in.byte(2) << 8) | in.byte(3)) & 0xFFFu;
    g.big_values = ((in.byte(4) << 8) | in.byte(5)) % 320;
    for (std::size_t r = 0; r < 3; ++r) g.table_select[r] = in.byte(6 + r) & 31u;
    g.region1_start = ((in.byte(9) << 8) | in.byte(10)) % 320;
    g.region2_start = ((in.byte(11) << 8) | in.byte(12)) % 320;
    g.global_gain = in.byte(13);
    g.gain_long = -static_cast<std::int32_t>(g.global_gain) + (mid_side ? 2 : 0);
    for (std::size_t w = 0; w < 3; ++w)
        g.gain_short[w] = g.gain_long + 8 * static_cast<std::int32_t>(in.byte(14 + w) & 7u);
    const int part2_bits = static_cast<int>(in.byte(17));
    const int bit_index = static_cast<int>(in.byte(18) & 7u);
    const std::size_t start = LEAD_IN_SIZE + ((in.byte(19) << 8) | in.byte(20)) % (FRAME_BUFFER_SIZE - LEAD_IN_SIZE);
    ScaleFactors scale_factors{};
    for (std::size_t i = 0; i < scale_factors.size(); ++i)
        scale_factors[i] = static_cast<std::int32_t>(in.byte(21 + i) & 31u);

    buffer.fill(0);
    if (size > 60) std::memcpy(buffer.data() + start, data + 60, std::min(size - 60, buffer.size() - start));
    // Bytes in front of the granule, as a reservoir would leave them.
    for (std::size_t i = 0; i < start; ++i) buffer[i] = static_cast<std::uint8_t>(i * 37u + 11u);

    current_state = &message_state;
    static Outcome old_way;
    static Outcome new_way;
    run(old_way, g, start, bit_index, [&](Outcome& out) {
        return reference::huffman_requantise(out.spectrum, out.quantised, scale_factors, out.granule,
                                             sampling_index, part2_bits);
    });
    run(new_way, g, start, bit_index, [&](Outcome& out) {
        quantised_buffer.fill(0x5A5A);  // anything left unwritten shows
        const int result = layer3_huffman_requantise(out.spectrum, scale_factors, out.granule, sampling_index, part2_bits);
        if (out.granule.quantised_values != quantised_buffer.data()) fail("quantised_values not the buffer");
        std::copy(quantised_buffer.begin(), quantised_buffer.end(), out.quantised.begin());
        return result;
    });
    // The library's clients drop the quantised values: nothing else may change.
    static Outcome dropped;
    run(dropped, g, start, bit_index, [&](Outcome& out) {
        return layer3_huffman_requantise(out.spectrum, scale_factors, out.granule, sampling_index, part2_bits,
                                         QuantisedValues::drop);
    });
    current_state = nullptr;

    if (dropped.granule.quantised_values != nullptr) fail("dropped quantised values kept");
    if (dropped.result != new_way.result ||
        std::memcmp(dropped.spectrum.data(), new_way.spectrum.data(), sizeof dropped.spectrum) != 0 ||
        dropped.granule.long_band_end != new_way.granule.long_band_end ||
        dropped.granule.short_band_end != new_way.granule.short_band_end ||
        dropped.granule.subband_end != new_way.granule.subband_end ||
        dropped.granule.spectrum_end != new_way.granule.spectrum_end || dropped.byte_offset != new_way.byte_offset ||
        dropped.bit_index != new_way.bit_index || dropped.messages != new_way.messages)
        fail("without the quantised values");
    if (old_way.result != new_way.result) fail("result");
    if (std::memcmp(old_way.spectrum.data(), new_way.spectrum.data(), sizeof old_way.spectrum) != 0) {
        for (std::size_t i = 0; i < 576; ++i)
            if (std::memcmp(&old_way.spectrum[i], &new_way.spectrum[i], sizeof(float)) != 0) {
                std::fprintf(stderr, "line %zu: %a (tree walk) vs %a (lookup)\n", i,
                             static_cast<double>(old_way.spectrum[i]), static_cast<double>(new_way.spectrum[i]));
                break;
            }
        fail("spectral values");
    }
    if (old_way.quantised != new_way.quantised) fail("quantised values");
    if (old_way.granule.short_band_end != new_way.granule.short_band_end ||
        old_way.granule.long_band_end != new_way.granule.long_band_end ||
        old_way.granule.subband_end != new_way.granule.subband_end)
        fail("band ends");
    if (old_way.byte_offset != new_way.byte_offset || old_way.bit_index != new_way.bit_index) {
        std::fprintf(stderr, "position %td.%d (tree walk) vs %td.%d (lookup)\n", old_way.byte_offset,
                     old_way.bit_index, new_way.byte_offset, new_way.bit_index);
        fail("bit position");
    }
    if (old_way.messages != new_way.messages) fail("messages");

    // A long block decoded in one loop with a second one, as the two channels
    // of a granule are: each must come out as it does alone. The second takes
    // its fields from the same bytes, read another way, and starts elsewhere.
    if (g.block_type == 2) return 0;
    GranuleInfo g2 = g;
    g2.part2_3_length = ((in.byte(3) << 8) | in.byte(2)) & 0xFFFu;
    g2.big_values = ((in.byte(5) << 8) | in.byte(4)) % 320;
    for (std::size_t r = 0; r < 3; ++r) g2.table_select[r] = in.byte(8 - r) & 31u;
    g2.count1table_select ^= 1u;
    const int bit_index2 = static_cast<int>((in.byte(18) >> 3) & 7u);
    const std::size_t start2 =
        LEAD_IN_SIZE + (((in.byte(20) << 8) | in.byte(19)) * 7u + 333u) % (FRAME_BUFFER_SIZE - LEAD_IN_SIZE);
    const int part2_bits2 = static_cast<int>(in.byte(17) >> 1);
    current_state = &message_state;
    static Outcome alone;
    run(alone, g2, start2, bit_index2, [&](Outcome& out) {
        return layer3_huffman_requantise(out.spectrum, scale_factors, out.granule, sampling_index, part2_bits2,
                                         QuantisedValues::drop);
    });
    static Outcome first;
    static Outcome second;
    std::array<LongBlockEnd, 2> ends{};
    second.granule = g2;
    second.spectrum.fill(-7.25f);
    run(first, g, 0, 0, [&](Outcome& out) {
        layer3_huffman_requantise_two(
            {LongBlockInput{out.spectrum, scale_factors, out.granule, part2_bits,
                            static_cast<std::int64_t>(start) * 8 + bit_index},
             LongBlockInput{second.spectrum, scale_factors, second.granule, part2_bits2,
                            static_cast<std::int64_t>(start2) * 8 + bit_index2}},
            sampling_index, ends);
        return layer3_huffman_leave(ends[0]);
    });
    static Outcome second_left;
    run(second_left, g2, 0, 0, [&](Outcome&) { return layer3_huffman_leave(ends[1]); });
    current_state = nullptr;
    second.result = second_left.result;
    second.byte_offset = second_left.byte_offset;
    second.bit_index = second_left.bit_index;
    second.messages = second_left.messages;
    for (const auto& [together, single] : {std::pair<const Outcome&, const Outcome&>{first, dropped},
                                           std::pair<const Outcome&, const Outcome&>{second, alone}}) {
        if (together.result != single.result ||
            std::memcmp(together.spectrum.data(), single.spectrum.data(), sizeof single.spectrum) != 0 ||
            together.granule.long_band_end != single.granule.long_band_end ||
            together.granule.subband_end != single.granule.subband_end ||
            together.granule.spectrum_end != single.granule.spectrum_end ||
            together.granule.quantised_values != nullptr || together.byte_offset != single.byte_offset ||
            together.bit_index != single.bit_index || together.messages != single.messages)
            fail("two blocks together");
    }
    return 0;
}
