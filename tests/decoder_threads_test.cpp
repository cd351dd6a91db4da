// Each thread has its own decoder storage, so decoders on separate threads
// must not disturb one another.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <iterator>
#include <thread>
#include <vector>

#include "decoder/decoder.h"

namespace {

struct Observed {
    std::vector<std::uint32_t> gains;
    int frames = 0;
    std::int32_t skipped_total = 0;
};

thread_local Observed* observed = nullptr;

void count_frame(const FrameInfo*, std::uint32_t) { ++observed->frames; }
void record_gain(const GranuleInfo* granule, std::uint32_t, std::int32_t) {
    observed->gains.push_back(granule->global_gain);
}

Observed decode_all(const std::vector<std::uint8_t>& bytes) {
    Observed result;
    observed = &result;
    auto state = std::make_unique<DecoderState>();
    dec_init(*state);
    state->frame_hook = count_frame;
    state->granule_hook = record_gain;
    std::vector<std::uint8_t> output(8192);
    std::int32_t done = 0;
    int r = dec_decode(*state, bytes.data(), static_cast<std::int32_t>(bytes.size()), output.data(), 8192, &done);
    while (r == DEC_OK) r = dec_decode(*state, nullptr, 0, output.data(), 8192, &done);
    dec_finish(*state);
    result.skipped_total = state->skipped_total;
    dec_release(*state);
    observed = nullptr;
    return result;
}

std::vector<std::uint8_t> read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(DecoderThreadsTest, ConcurrentDecodersSeeTheSameRecordsAsOneAlone) {
    const auto joint = read_file(GAINSCAN_FIXTURES "/m1_44100_joint_vbr2.mp3");
    const auto lsf = read_file(GAINSCAN_FIXTURES "/m2_24000_stereo_vbr5.mp3");
    ASSERT_FALSE(joint.empty());
    ASSERT_FALSE(lsf.empty());
    const Observed joint_alone = decode_all(joint);
    const Observed lsf_alone = decode_all(lsf);
    ASSERT_GT(joint_alone.gains.size(), 100u);
    ASSERT_GT(lsf_alone.gains.size(), 50u);

    std::vector<Observed> results(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 5; ++round) results[i] = decode_all(i % 2 ? lsf : joint);
        });
    for (auto& t : threads) t.join();

    for (std::size_t i = 0; i < results.size(); ++i) {
        const Observed& alone = i % 2 ? lsf_alone : joint_alone;
        EXPECT_EQ(results[i].gains, alone.gains) << "thread " << i;
        EXPECT_EQ(results[i].frames, alone.frames) << "thread " << i;
        EXPECT_EQ(results[i].skipped_total, alone.skipped_total) << "thread " << i;
    }
}
