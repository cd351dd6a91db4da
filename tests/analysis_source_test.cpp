// What the analysis makes of a source that fails it: a read error or a file
// that changes size while it is read is an error report, never a finding,
// whatever the bits read so far say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bitstream_writer.h"
#include "gainscan/analysis.h"

namespace {

// Serves `bytes`, then fails once `fail_at` bytes have been read.
class FailingSource final : public gainscan::ByteSource {
public:
    FailingSource(const std::vector<std::uint8_t>& bytes, std::size_t fail_at) : bytes_(bytes), fail_at_(fail_at) {}
    std::size_t read(std::span<std::uint8_t> to) override {
        const std::size_t n = std::min(to.size(), std::min(fail_at_, bytes_.size()) - at_);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, to.begin());
        at_ += n;
        failed_ = at_ == fail_at_ && fail_at_ < bytes_.size();
        return n;
    }
    bool failed() const override { return failed_; }
    std::uint64_t size() override { return bytes_.size(); }

private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t fail_at_, at_ = 0;
    bool failed_ = false;
};

std::vector<std::uint8_t> fixture(const std::string& name) {
    std::ifstream in(std::string(GAINSCAN_FIXTURES) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(AnalysisSource, AFailingOrChangingSourceIsAnErrorAndNeverFlagged) {
    // Its first 200 records give this clean file a length field that fits,
    // so the quick verdict flags it when it is read whole.
    const auto bytes = fixture("m1_44100_stereo_cbr64_2s.mp3");
    ASSERT_GT(bytes.size(), 12000u);
    const struct {
        const char* name;
        std::size_t fail_at;
        std::optional<std::uint64_t> size_before;
        bool ok;
        std::string error;
    } cases[] = {
        {"read whole", bytes.size(), std::nullopt, true, ""},
        {"read whole, the size it had before", bytes.size(), bytes.size(), true, ""},
        {"a read error past the first 200 records", 12000, std::nullopt, false, "read error"},
        {"a read error in the first frame", 100, std::nullopt, false, "read error"},
        {"grew while read", bytes.size(), bytes.size() - 10, false,
         "file changed size while being read (" + std::to_string(bytes.size() - 10) + " -> " +
             std::to_string(bytes.size()) + " bytes)"},
    };
    for (const bool whole_file : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.name << (whole_file ? ", whole file" : ", quick"));
            gainscan::Analysis analysis(gainscan::AnalysisOptions{.whole_file = whole_file, .alpha = 1.0, .span_all = true});
            FailingSource source(bytes, c.fail_at);
            const gainscan::FileReport report = analysis.analyse(source, "file.mp3", c.size_before);
            EXPECT_EQ(report.ok, c.ok);
            EXPECT_EQ(report.error, c.error);
            // Quick: the verdict; whole file: every carrier weighed, at alpha 1.
            if (c.ok) {
                EXPECT_TRUE(report.flagged);
            } else {
                EXPECT_FALSE(report.flagged);
            }
        }
    }
}

TEST(AnalysisSource, FlaggedWhenThePValueIsAtMostAlpha) {
    // Every carrier weighed, so this clean file has a p_value; an alpha equal
    // to it flags the file, the next double below does not.
    const auto bytes = fixture("long_m1_44100_mono_cbr32_40s.mp3");
    auto analyse = [&](double alpha) {
        gainscan::Analysis analysis(gainscan::AnalysisOptions{.alpha = alpha, .span_all = true});
        return analysis.analyse_bytes(bytes, "file.mp3");
    };
    const auto first = analyse(1.0);
    ASSERT_TRUE(first.p_value);
    // A measured file reports the statistic the p_value comes from.
    EXPECT_EQ(first.evidence, "measured");
    EXPECT_TRUE(first.score && std::isfinite(*first.score));
    const double p = *first.p_value;
    ASSERT_GT(p, 0.0);
    const auto at = analyse(p), below = analyse(std::nextafter(p, 0.0));
    EXPECT_TRUE(at.flagged);
    EXPECT_FALSE(below.flagged);
    // The plot of the evidence comes with a flagged file only.
    EXPECT_TRUE(at.plot);
    EXPECT_FALSE(below.plot);
}

namespace {

// Stereo MPEG-1 frames of 32 kbit/s with empty granules; in the frames listed
// in `lost` the first granule claims 74 bits of scale factors in a budget of
// none, so the decoder gives up on the frame's granules.
std::vector<std::uint8_t> stereo_frames(int count, std::vector<int> lost) {
    std::vector<std::uint8_t> stream;
    testing_stream::HeaderFields header;
    header.mode = 0;
    header.bitrate_index = 1;
    for (int f = 0; f < count; ++f) {
        testing_stream::SideInfoFields side{};
        if (std::find(lost.begin(), lost.end(), f) != lost.end()) side.granule[0][0].scalefac_compress = 15;
        const auto frame = testing_stream::side_info_frame(header, side);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

}  // namespace

TEST(AnalysisSource, GranulesTheDecoderLosesKeepTheirCarriers) {
    // Four records a frame, every second one a carrier: two per frame,
    // whether its granules were decoded or lost (at the start, in the middle
    // or at the end), so the layout of the bits after a loss stays in place.
    const struct {
        std::vector<int> lost;
        std::uint64_t records;
    } cases[] = {{{}, 40}, {{0}, 36}, {{4, 5}, 32}, {{9}, 36}, {{7, 8, 9}, 28}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.lost));
        gainscan::Analysis analysis({.whole_file = true});
        const gainscan::FileReport report = analysis.analyse_bytes(stereo_frames(10, c.lost), "frames.mp3");
        EXPECT_EQ(report.total_frames, 10u);
        EXPECT_EQ(report.total_records, c.records);
        EXPECT_EQ(report.carriers, 20);
    }
}

TEST(AnalysisSource, DurationAndLengthAsTheFileHasThem) {
    // The duration of the Layer III frames (encoders add a frame or two of
    // delay and padding to the length they were given), and a length only
    // where gainscan found one.
    const struct {
        const char* name;
        std::optional<double> seconds;
        bool found;
    } cases[] = {
        {"long_m1_44100_mono_cbr32_40s.mp3", 40.0, false},
        {"m1_44100_stereo_cbr64_2s.mp3", 2.0, true},
        {"m1_32000_mono_cbr32.mp3", std::nullopt, false},
        {"README.md", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gainscan::Analysis analysis({.whole_file = true});
        const gainscan::FileReport report = analysis.analyse_bytes(fixture(c.name), c.name);
        EXPECT_EQ(report.found, c.found);
        if (c.found) {
            EXPECT_GT(report.length, 0u);
        } else {
            EXPECT_EQ(report.length, 0u);
        }
        if (c.seconds) {
            ASSERT_TRUE(report.seconds);
            EXPECT_NEAR(*report.seconds, *c.seconds, 0.1);
        }
        EXPECT_EQ(report.seconds.has_value(), report.format == "layer3");
    }
}

TEST(AnalysisSource, OneAnalysisReusedForManyFilesReportsEachAsAFreshOneWould) {
    // A worker keeps one analysis for all its files: nothing of one file
    // (its frame size, counts, messages, evidence) may reach the next.
    const char* const names[] = {"m1_44100_stereo_cbr320.mp3", "README.md", "m25_8000_mono_cbr8.mp3", "spliced_layer2.mp3",
                                 "m2_22050_dual_cbr64.mp3", "long_m1_44100_mono_cbr32_40s.mp3",
                                 "m1_44100_joint_vbr2.mp3"};
    auto summary = [](const gainscan::FileReport& r) {
        std::string text;
        for (const auto& m : r.messages) text += m.text;
        return ::testing::PrintToString(std::make_tuple(r.ok, r.found, r.length, r.nbits, r.capacity, r.frames, r.records,
                                                        text, r.flagged, r.total_frames, r.total_records, r.format,
                                                        r.seconds, r.score, r.p_value, r.evidence, r.evidence_reason,
                                                        r.carriers, r.span, r.file_bytes));
    };
    for (const bool whole : {false, true}) {
        SCOPED_TRACE(whole ? "whole file" : "quick");
        gainscan::Analysis reused({.whole_file = whole});
        for (const char* name : names) {
            SCOPED_TRACE(name);
            const std::vector<std::uint8_t> bytes = fixture(name);
            gainscan::Analysis fresh({.whole_file = whole});
            EXPECT_EQ(summary(reused.analyse_bytes(bytes, name)), summary(fresh.analyse_bytes(bytes, name)));
            // What the payload extraction reads: the carriers' bits and the length field.
            const std::span<const std::uint8_t> a = reused.carrier_bits(), b = fresh.carrier_bits();
            EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end()));
            const auto field = [](const std::optional<gainscan::LengthField>& f) {
                return f ? std::make_tuple(f->nbits, f->length, f->header_bits, f->span)
                         : std::make_tuple(0u, std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0});
            };
            EXPECT_EQ(field(reused.length_field()), field(fresh.length_field()));
        }
        // A path that is not a file after one with a payload: nothing of it remains.
        EXPECT_TRUE(reused.analyse_file(std::string(GAINSCAN_FIXTURES) + "/m1_44100_stereo_cbr64_2s.mp3").ok);
        if (whole) {
            EXPECT_FALSE(reused.carrier_bits().empty());
        }
        EXPECT_FALSE(reused.analyse_file(GAINSCAN_FIXTURES).ok);
        EXPECT_TRUE(reused.carrier_bits().empty());
        EXPECT_FALSE(reused.length_field());
    }
}
