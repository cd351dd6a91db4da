// The table-driven Huffman and requantisation stage must do exactly what the
// tree-walking decoder it replaced does (fuzz/reference_huffman.cpp, which
// the differential fuzzer also holds it to): for every table, block kind,
// count1 table and budget, over any bits, the same result, the same 576
// floats bit for bit, the same quantised values, the same band ends, the
// same reader position and the same messages. The fuzzer searches; these
// cases run on every build, so a fault in the way long blocks lay out their
// gains, in where a budget cuts the quadruples or in which band a nonzero
// value is counted in shows at once. Dropping the quantised values, as the
// library's clients do, must change nothing else.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decoder/common/bit_reader.h"
#include "decoder/decoder.h"
#include "decoder/input_chain.h"
#include "decoder/layer3/huffman_requantise.h"
#include "fuzz/reference_huffman.h"
#include "tests/random_bits.h"

namespace {

enum class Block { normal, start, stop, short_windows, mixed };

struct Case {
    const char* name;
    Fill fill;
    Block block;
    std::uint32_t big_values;  // pairs
    std::uint32_t region1_start, region2_start;
    int sampling_index;
};

// Budgets (part2_3_length with no scale-factor bits): ample; so short that
// the big values overdraw it; and a spread of lengths that end the count1
// quadruples inside a code, before a sign bit or between quadruples.
constexpr std::array<std::uint32_t, 8> BUDGETS = {4095, 24, 90, 191, 333, 517, 808, 1201};

const Case CASES[] = {
    {"normal block, three regions, random bits", Fill::random, Block::normal, 120, 20, 60, 3},
    {"normal block, few big values and many quadruples", Fill::mostly_zero, Block::normal, 20, 4, 12, 3},
    {"normal block, no big values: quadruples only", Fill::mostly_zero, Block::normal, 0, 0, 0, 7},
    // With count1 table A, a run of ones is quadruples of four zeros (and
    // with table B, ones); with table 0 for its one pair, a granule decodes
    // lines of which none is nonzero, and ends halfway through four.
    {"normal block, one pair and quadruples of zeros", Fill::ones, Block::normal, 1, 0, 0, 2},
    {"normal block, all 288 pairs", Fill::random, Block::normal, 288, 40, 100, 1},
    {"normal block, odd pair counts across band edges", Fill::random, Block::normal, 37, 3, 15, 8},
    {"normal block, the longest codes and escapes", Fill::ones, Block::normal, 150, 30, 90, 0},
    {"normal block, region 2 before region 1", Fill::random, Block::normal, 90, 50, 10, 4},
    {"start block at 8 kHz", Fill::random, Block::start, 60, 18, 288, 8},
    {"stop block at 48 kHz, mostly zero bits", Fill::mostly_zero, Block::stop, 45, 18, 288, 1},
    // Long blocks are scaled by a loop laid out for each sampling rate: every
    // rate has a long-block case.
    {"normal block at 16 kHz", Fill::random, Block::normal, 70, 9, 30, 5},
    {"normal block at 11.025 kHz, mostly zero bits", Fill::mostly_zero, Block::normal, 25, 6, 14, 6},
    {"short windows", Fill::random, Block::short_windows, 100, 18, 288, 3},
    {"short windows, quadruples only", Fill::mostly_zero, Block::short_windows, 0, 18, 288, 5},
    {"mixed block", Fill::random, Block::mixed, 80, 18, 288, 0},
    {"mixed block at 22.05 kHz", Fill::mostly_zero, Block::mixed, 30, 18, 288, 3 + 3},
};

struct Outcome {
    int result = 0;
    std::array<float, 576> spectrum{};
    std::array<std::int16_t, 576> quantised{};
    GranuleInfo granule{};
    std::int64_t position = 0;  // the reader's, in bits from the buffer's start
    std::string messages;
};

std::string* collected = nullptr;
void collect(void*, int stream, const char* text, std::size_t length) {
    *collected += static_cast<char>('0' + stream);
    collected->append(text, length);
}

template <typename Decode>
Outcome run(std::vector<std::uint8_t>& bytes, std::uint32_t start_bit, const GranuleInfo& granule, Decode decode) {
    Outcome out;
    out.granule = granule;
    out.spectrum.fill(-7.25f);  // anything left unwritten shows
    DecoderState messages{};
    messages.message_sink = MessageSink{collect, nullptr};
    collected = &out.messages;
    current_state = &messages;
    bit_reader_attach(bytes.data(), bytes.size(), bytes.data() + start_bit / 8);
    bit_reader_skip(static_cast<std::int32_t>(start_bit % 8));
    out.result = decode(out);
    out.position = (bit_reader.byte_pointer - bytes.data()) * 8 + bit_reader.bit_index;
    current_state = nullptr;
    collected = nullptr;
    return out;
}

GranuleInfo granule_for(const Case& c, std::uint32_t select, std::uint32_t budget, std::uint32_t seed) {
    GranuleInfo g{};
    g.part2_3_length = budget;
    g.big_values = c.big_values;
    g.region1_start = c.region1_start;
    g.region2_start = c.region2_start;
    g.table_select = {select, (select + 7) % 32, (select + 19) % 32};
    g.block_type = c.block == Block::start ? 1 : c.block == Block::stop ? 3 : c.block == Block::normal ? 0 : 2;
    g.mixed_block_flag = c.block == Block::mixed ? 1 : 0;
    g.count1table_select = seed & 1u;
    g.preflag = (seed >> 1) & 1u;
    g.scalefac_scale = (select >> 2) & 1u;
    g.global_gain = 120 + 7 * seed;
    g.gain_long = -static_cast<std::int32_t>(g.global_gain);
    for (std::size_t w = 0; w < 3; ++w) g.gain_short[w] = g.gain_long + 8 * static_cast<std::int32_t>((seed + w) % 8);
    return g;
}

ScaleFactors scale_factors_for(std::uint32_t seed) {
    ScaleFactors sf{};
    std::uint32_t state = seed * 40503u + 7;
    for (auto& value : sf) {
        state = state * 1664525u + 1013904223u;
        value = static_cast<std::int32_t>((state >> 24) & 15u);
    }
    return sf;
}

TEST(HuffmanStage, DecodesEveryGranuleAsTheTreeWalkDoes) {
    // The reference computes its tables at run time; they must equal the
    // decoder's generated ones before its output means anything.
    ASSERT_EQ(reference::build_tables_and_compare(), 0);
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        for (std::uint32_t select = 0; select < 32; ++select) {
            for (std::uint32_t seed = 0; seed < BUDGETS.size(); ++seed) {
                SCOPED_TRACE("table " + std::to_string(select) + " seed " + std::to_string(seed));
                std::vector<std::uint8_t> bytes = bytes_of(c.fill, 2048, seed * 32 + select);
                const GranuleInfo granule = granule_for(c, select, BUDGETS[seed], seed);
                const ScaleFactors sf = scale_factors_for(seed * 32 + select);
                const std::uint32_t start = seed * 3;  // every bit offset within a byte, and more
                const Outcome expected = run(bytes, start, granule, [&](Outcome& out) {
                    return reference::huffman_requantise(out.spectrum, out.quantised, sf, out.granule,
                                                         c.sampling_index, 0);
                });
                const Outcome actual = run(bytes, start, granule, [&](Outcome& out) {
                    quantised_buffer.fill(0x5A5A);  // anything left unwritten shows
                    const int result = layer3_huffman_requantise(out.spectrum, sf, out.granule, c.sampling_index, 0);
                    std::memcpy(out.quantised.data(), out.granule.quantised_values, sizeof out.quantised);
                    return result;
                });
                ASSERT_EQ(actual.result, expected.result);
                for (std::size_t i = 0; i < 576; ++i) {
                    std::uint32_t a, e;
                    std::memcpy(&a, &actual.spectrum[i], sizeof a);
                    std::memcpy(&e, &expected.spectrum[i], sizeof e);
                    ASSERT_EQ(a, e) << "line " << i;
                }
                ASSERT_EQ(actual.quantised, expected.quantised);
                EXPECT_EQ(actual.granule.long_band_end, expected.granule.long_band_end);
                EXPECT_EQ(actual.granule.short_band_end, expected.granule.short_band_end);
                EXPECT_EQ(actual.granule.subband_end, expected.granule.subband_end);
                EXPECT_EQ(actual.position, expected.position);
                EXPECT_EQ(actual.messages, expected.messages);

                // Without the quantised values, everything else is the same.
                const Outcome dropped = run(bytes, start, granule, [&](Outcome& out) {
                    return layer3_huffman_requantise(out.spectrum, sf, out.granule, c.sampling_index, 0,
                                                     QuantisedValues::drop);
                });
                EXPECT_EQ(dropped.granule.quantised_values, nullptr);
                ASSERT_EQ(dropped.result, expected.result);
                ASSERT_EQ(std::memcmp(dropped.spectrum.data(), expected.spectrum.data(), sizeof dropped.spectrum), 0);
                EXPECT_EQ(dropped.granule.long_band_end, expected.granule.long_band_end);
                EXPECT_EQ(dropped.granule.short_band_end, expected.granule.short_band_end);
                EXPECT_EQ(dropped.granule.subband_end, expected.granule.subband_end);
                EXPECT_EQ(dropped.granule.spectrum_end, actual.granule.spectrum_end);
                EXPECT_EQ(dropped.position, expected.position);
                EXPECT_EQ(dropped.messages, expected.messages);
            }
        }
    }
}

// Two long blocks decoded in one loop, as the two channels of a granule are,
// give each block exactly what it gives alone: its spectrum bit for bit, its
// band ends, and, once left, the reader's position, the result and the
// overdraw message. Every pair of long-block cases, with different tables
// and budgets on the two sides, so that either runs out of a region first.
TEST(HuffmanStage, TwoLongBlocksDecodeTogetherAsEachAlone) {
    std::vector<const Case*> long_cases;
    for (const Case& c : CASES)
        if (c.block != Block::short_windows && c.block != Block::mixed) long_cases.push_back(&c);
    int overdrawn = 0;
    for (const Case* a : long_cases) {
        for (const Case* b : long_cases) {
            SCOPED_TRACE(std::string(a->name) + " | " + b->name);
            for (std::uint32_t select = 0; select < 32; ++select) {
                const std::uint32_t seed = select % BUDGETS.size();
                std::vector<std::uint8_t> bytes = bytes_of(a->fill, 2048, select);
                const std::vector<std::uint8_t> second = bytes_of(b->fill, 2048, select + 99);
                bytes.insert(bytes.end(), second.begin(), second.end());
                const std::array<std::uint32_t, 2> start = {seed * 3, 2048 * 8 + seed};
                const std::array<GranuleInfo, 2> granule = {
                    granule_for(*a, select, BUDGETS[seed], seed),
                    granule_for(*b, (select + 11) % 32, BUDGETS[(seed + 3) % BUDGETS.size()], seed + 1)};
                const std::array<ScaleFactors, 2> sf = {scale_factors_for(select), scale_factors_for(select + 5)};
                const int rate = a->sampling_index;

                std::array<Outcome, 2> alone;
                for (std::size_t k = 0; k < 2; ++k) {
                    alone[k] = run(bytes, start[k], granule[k], [&](Outcome& out) {
                        return layer3_huffman_requantise(out.spectrum, sf[k], out.granule, rate, 0,
                                                         QuantisedValues::drop);
                    });
                }
                std::array<Outcome, 2> together;
                std::array<LongBlockEnd, 2> ends{};
                together[0] = run(bytes, 0, granule[0], [&](Outcome& first) {
                    together[1].granule = granule[1];
                    together[1].spectrum.fill(-7.25f);
                    layer3_huffman_requantise_two({LongBlockInput{first.spectrum, sf[0], first.granule, 0, start[0]},
                                                   LongBlockInput{together[1].spectrum, sf[1], together[1].granule, 0,
                                                                  start[1]}},
                                                  rate, ends);
                    return layer3_huffman_leave(ends[0]);
                });
                const Outcome second_left = run(bytes, 0, granule[1], [&](Outcome&) { return layer3_huffman_leave(ends[1]); });
                together[1].result = second_left.result;
                together[1].position = second_left.position;
                together[1].messages = second_left.messages;
                for (std::size_t k = 0; k < 2; ++k) {
                    SCOPED_TRACE("block " + std::to_string(k) + ", table " + std::to_string(select));
                    ASSERT_EQ(together[k].result, alone[k].result);
                    ASSERT_EQ(std::memcmp(together[k].spectrum.data(), alone[k].spectrum.data(), sizeof alone[k].spectrum), 0);
                    EXPECT_EQ(together[k].granule.quantised_values, nullptr);
                    EXPECT_EQ(together[k].granule.spectrum_end, alone[k].granule.spectrum_end);
                    EXPECT_EQ(together[k].granule.long_band_end, alone[k].granule.long_band_end);
                    EXPECT_EQ(together[k].granule.subband_end, alone[k].granule.subband_end);
                    EXPECT_EQ(together[k].position, alone[k].position);
                    EXPECT_EQ(together[k].messages, alone[k].messages);
                    overdrawn += alone[k].result;
                }
            }
        }
    }
    EXPECT_GT(overdrawn, 100);  // and the overdraws among them
}

// The cases above reach what they are meant to: overdrawn granules, granules
// whose budget ends among the quadruples, and both without.
TEST(HuffmanStage, CasesReachOverdrawsAndBudgetsEndingInTheQuadruples) {
    int overdrawn = 0, cut_in_quadruples = 0, whole = 0;
    for (const Case& c : CASES) {
        for (std::uint32_t select = 0; select < 32; ++select) {
            for (std::uint32_t seed = 0; seed < BUDGETS.size(); ++seed) {
                std::vector<std::uint8_t> bytes = bytes_of(c.fill, 2048, seed * 32 + select);
                const GranuleInfo granule = granule_for(c, select, BUDGETS[seed], seed);
                const ScaleFactors sf = scale_factors_for(seed * 32 + select);
                const Outcome out = run(bytes, 0, granule, [&](Outcome& o) {
                    return layer3_huffman_requantise(o.spectrum, sf, o.granule, c.sampling_index, 0);
                });
                const auto used = static_cast<std::uint32_t>(out.position);
                if (out.result != 0)
                    ++overdrawn;
                else if (out.granule.spectrum_end < 576 && used == BUDGETS[seed])
                    ++cut_in_quadruples;
                else
                    ++whole;
            }
        }
    }
    EXPECT_GT(overdrawn, 50);
    EXPECT_GT(cut_in_quadruples, 200);
    EXPECT_GT(whole, 50);
}

}  // namespace
