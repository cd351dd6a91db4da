// Frame header plausibility and decoding, and the most-significant-bit-first
// bit reader with its guard at the end of the frame buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/common/bit_reader.h"
#include "decoder/common/frame_header.h"
#include "decoder/decoder.h"

namespace {

std::string decode_capturing_stderr(FrameInfo& frame, std::uint32_t header, int& result) {
    testing::internal::CaptureStderr();
    result = header_decode(frame, header);
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

}  // namespace

// ---------------------------------------------------------------------------
// header_is_plausible

TEST(HeaderPlausibilityTest, CommonMpeg1LayerThreeHeaderPasses) {
    // FF FB 90 64: sync, MPEG-1, Layer III, no CRC, 128 kbit/s, 44100 Hz, joint stereo.
    EXPECT_EQ(header_is_plausible(0xFFFB9064u), 1);
}

TEST(HeaderPlausibilityTest, EachOfTheFourTestsRejects) {
    EXPECT_EQ(header_is_plausible(0xFFE00000u), 0);  // layer bits 00
    EXPECT_EQ(header_is_plausible(0xFFFBF000u), 0);  // bitrate_index 15
    EXPECT_EQ(header_is_plausible(0xFFFB0C00u), 0);  // frequency bits 11
    EXPECT_EQ(header_is_plausible(0xFFDB9000u), 0);  // eleventh sync bit clear
    EXPECT_EQ(header_is_plausible(0x7FFB9064u), 0);  // first sync bit clear
    EXPECT_EQ(header_is_plausible(0x00000000u), 0);
}

TEST(HeaderPlausibilityTest, BoundaryValuesThatPass) {
    EXPECT_EQ(header_is_plausible(0xFFE20000u), 1);  // MPEG-2.5 Layer III, CRC, free format, 11025 Hz
    EXPECT_EQ(header_is_plausible(0xFFFBE800u), 1);  // bitrate_index 14, frequency bits 10
    EXPECT_EQ(header_is_plausible(0xFFFF0000u), 1);  // Layer I
    EXPECT_EQ(header_is_plausible(0xFFFBEBFFu), 1);  // every low bit set
}

TEST(HeaderPlausibilityTest, Bit20ClearAdmitsMpeg25WhateverBit19Says) {
    // 0xFFEB: sync, bit 20 = 0, bit 19 = 1, Layer III, no CRC.
    EXPECT_EQ(header_is_plausible(0xFFEB1000u), 1);
    // 0xFFE3: bit 20 = 0, bit 19 = 0.
    EXPECT_EQ(header_is_plausible(0xFFE31000u), 1);
}

// ---------------------------------------------------------------------------
// header_decode

TEST(HeaderDecodeTest, Mpeg1JointStereo128At44100) {
    FrameInfo frame{};
    frame.error_flag = 1;  // header_decode clears it
    int result = 0;
    const std::string err = decode_capturing_stderr(frame, 0xFFFB9064u, result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(frame.header_word, 0xFFFB9064u);
    EXPECT_EQ(frame.lsf_flag, 0);
    EXPECT_EQ(frame.mpeg25_flag, 0);
    EXPECT_EQ(frame.layer, 3);
    EXPECT_EQ(frame.crc_present, 0);
    EXPECT_EQ(frame.bitrate_index, 9);
    EXPECT_EQ(frame.sampling_index, 0);
    EXPECT_EQ(frame.padding_bit, 0);
    EXPECT_EQ(frame.private_bit, 0);
    // 0x64 = 01 10 0 1 00: joint stereo, mode_extension 2, original.
    EXPECT_EQ(frame.mode, 1);
    EXPECT_EQ(frame.mode_extension, 2);
    EXPECT_EQ(frame.copyright, 0);
    EXPECT_EQ(frame.original, 1);
    EXPECT_EQ(frame.emphasis, 0);
    EXPECT_EQ(frame.channels, 2);
    EXPECT_EQ(frame.error_flag, 0);
    // 128 * 144000 / 44100 = 417, less the 4 header bytes.
    EXPECT_EQ(frame.frame_size, 413);
}

TEST(HeaderDecodeTest, EveryLowFieldFromItsBits) {
    // FF FA 93 0F: CRC present (protection bit 0), bitrate 9, 44100 Hz,
    // padding, private, stereo, mode_extension 0, copyright, original, emphasis 3.
    FrameInfo frame{};
    int result = 0;
    decode_capturing_stderr(frame, 0xFFFA930Fu, result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(frame.crc_present, 1);
    EXPECT_EQ(frame.padding_bit, 1);
    EXPECT_EQ(frame.private_bit, 1);
    EXPECT_EQ(frame.mode, 0);
    EXPECT_EQ(frame.mode_extension, 0);
    EXPECT_EQ(frame.copyright, 1);
    EXPECT_EQ(frame.original, 1);
    EXPECT_EQ(frame.emphasis, 3);
    EXPECT_EQ(frame.channels, 2);
    EXPECT_EQ(frame.frame_size, 414);
}

TEST(HeaderDecodeTest, SingleChannelModeGivesOneChannel) {
    FrameInfo frame{};
    int result = 0;
    decode_capturing_stderr(frame, 0xFFFB90C0u, result);  // mode bits 11
    EXPECT_EQ(result, 1);
    EXPECT_EQ(frame.mode, 3);
    EXPECT_EQ(frame.channels, 1);
    // Dual channel (mode 2) still has two.
    decode_capturing_stderr(frame, 0xFFFB9080u, result);
    EXPECT_EQ(frame.mode, 2);
    EXPECT_EQ(frame.channels, 2);
}

TEST(HeaderDecodeTest, SamplingIndexForAllNineRates) {
    struct Case {
        std::uint32_t header;
        int lsf, mpeg25, sampling_index;
    };
    // Frequency bits 00, 01, 10 in each of MPEG-1 (FB), MPEG-2 (F3), MPEG-2.5 (E3 and EB).
    const Case cases[] = {
        {0xFFFB1000u, 0, 0, 0}, {0xFFFB1400u, 0, 0, 1}, {0xFFFB1800u, 0, 0, 2},
        {0xFFF31000u, 1, 0, 3}, {0xFFF31400u, 1, 0, 4}, {0xFFF31800u, 1, 0, 5},
        {0xFFE31000u, 1, 1, 6}, {0xFFE31400u, 1, 1, 7}, {0xFFE31800u, 1, 1, 8},
        // bit 20 clear and bit 19 set: still MPEG-2.5
        {0xFFEB1000u, 1, 1, 6}, {0xFFEB1400u, 1, 1, 7}, {0xFFEB1800u, 1, 1, 8},
    };
    for (const Case& c : cases) {
        FrameInfo frame{};
        int result = 0;
        decode_capturing_stderr(frame, c.header, result);
        EXPECT_EQ(result, 1) << std::hex << c.header;
        EXPECT_EQ(frame.lsf_flag, c.lsf) << std::hex << c.header;
        EXPECT_EQ(frame.mpeg25_flag, c.mpeg25) << std::hex << c.header;
        EXPECT_EQ(frame.sampling_index, c.sampling_index) << std::hex << c.header;
        EXPECT_EQ(frame.layer, 3);
    }
}

TEST(HeaderDecodeTest, FrameSizeExamples) {
    struct Case {
        std::uint32_t header;
        int frame_size;
    };
    const Case cases[] = {
        {0xFFFB9000u, 413},   // MPEG-1 128 kbit/s 44100 Hz: 18432000 / 44100 = 417, - 4
        {0xFFFB9200u, 414},   // the same, padded
        {0xFFF38000u, 204},   // MPEG-2 64 kbit/s 22050 Hz: 9216000 / 44100 = 208, - 4
        {0xFFE31800u, 68},    // MPEG-2.5 8 kbit/s 8000 Hz: 1152000 / 16000 = 72, - 4
        {0xFFFBEA00u, 1437},  // MPEG-1 320 kbit/s 32000 Hz padded: 1440 + 1 - 4
        {0xFFE3EA00u, 1437},  // MPEG-2.5 160 kbit/s 8000 Hz padded: 23040000 / 16000 + 1 - 4
        {0xFFFB1000u, 100},   // MPEG-1 32 kbit/s 44100 Hz: 4608000 / 44100 = 104.49 truncated, - 4
        {0xFFFB0000u, -4},    // free format
        {0xFFFB0200u, -3},    // free format, padded
        {0xFFE30000u, -4},    // free format MPEG-2.5
    };
    for (const Case& c : cases) {
        FrameInfo frame{};
        int result = 0;
        decode_capturing_stderr(frame, c.header, result);
        EXPECT_EQ(result, 1) << std::hex << c.header;
        EXPECT_EQ(frame.frame_size, c.frame_size) << std::hex << c.header;
    }
}

TEST(HeaderDecodeTest, WriterBodySizeAgreesWithDecoderForEveryRateAndBitrate) {
    // Cross-check of the two independent computations over all plausible Layer III headers.
    for (int version : {1, 2, 25})
        for (int freq = 0; freq < 3; ++freq)
            for (int bitrate = 1; bitrate < 15; ++bitrate)
                for (int padding = 0; padding < 2; ++padding) {
                    testing_stream::HeaderFields h;
                    h.version = version;
                    h.frequency_bits = freq;
                    h.bitrate_index = bitrate;
                    h.padding = padding;
                    FrameInfo frame{};
                    ASSERT_EQ(header_decode(frame, testing_stream::header_word(h)), 1);
                    EXPECT_EQ(frame.frame_size, testing_stream::layer3_body_size(h))
                        << version << " " << freq << " " << bitrate << " " << padding;
                    EXPECT_LE(frame.frame_size, 1437);
                }
}

TEST(HeaderDecodeTest, LayerTwoAfterInitKeepsFrameSizeZeroAndSetsTheOtherFields) {
    // FF FD 93 C5: MPEG-1 Layer II, no CRC, bitrate 9, 44100 Hz, padding,
    // private, mono, copyright 0, original 1, emphasis 1.
    FrameInfo frame{};
    int result = 0;
    const std::string err = decode_capturing_stderr(frame, 0xFFFD93C5u, result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, "Not supported! (@common, Layer 2)\n");
    EXPECT_EQ(frame.frame_size, 0);
    EXPECT_EQ(frame.layer, 2);
    EXPECT_EQ(frame.header_word, 0xFFFD93C5u);
    EXPECT_EQ(frame.lsf_flag, 0);
    EXPECT_EQ(frame.sampling_index, 0);
    EXPECT_EQ(frame.crc_present, 0);
    EXPECT_EQ(frame.bitrate_index, 9);
    EXPECT_EQ(frame.padding_bit, 1);
    EXPECT_EQ(frame.private_bit, 1);
    EXPECT_EQ(frame.mode, 3);
    EXPECT_EQ(frame.channels, 1);
    EXPECT_EQ(frame.original, 1);
    EXPECT_EQ(frame.emphasis, 1);
    EXPECT_EQ(frame.error_flag, 0);
}

TEST(HeaderDecodeTest, LayerOneAndTwoKeepTheLastLayerThreeFrameSize) {
    FrameInfo frame{};
    int result = 0;
    decode_capturing_stderr(frame, 0xFFF38000u, result);  // MPEG-2 Layer III: 204
    ASSERT_EQ(frame.frame_size, 204);

    std::string err = decode_capturing_stderr(frame, 0xFFFD9064u, result);  // Layer II
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, "Not supported! (@common, Layer 2)\n");
    EXPECT_EQ(frame.layer, 2);
    EXPECT_EQ(frame.lsf_flag, 0);  // the Layer II header's own fields
    EXPECT_EQ(frame.frame_size, 204);

    err = decode_capturing_stderr(frame, 0xFFFF1000u, result);  // Layer I
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, "Not supported! (@common, Layer 1)\n");
    EXPECT_EQ(frame.layer, 1);
    EXPECT_EQ(frame.bitrate_index, 1);
    EXPECT_EQ(frame.frame_size, 204);
}

TEST(HeaderDecodeTest, ReservedValuesWhenCalledWithoutThePlausibilityTest) {
    FrameInfo frame{};
    int result = 7;
    std::string err = decode_capturing_stderr(frame, 0xFFFB0C00u, result);  // frequency bits 11
    EXPECT_EQ(result, 0);
    EXPECT_EQ(err, "Stream error\n");

    err = decode_capturing_stderr(frame, 0xFFF90000u, result);  // layer bits 00
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "Sorry, unknown layer type: 4.\n");
    EXPECT_EQ(frame.layer, 4);
}

// ---------------------------------------------------------------------------
// Bit reader

class BitReaderTest : public testing::Test {
protected:
    // 0xA5 = 1010 0101, 0x0F = 0000 1111, 0xF0 = 1111 0000, then padding.
    std::vector<std::uint8_t> bytes{0xA5, 0x0F, 0xF0, 0x00, 0x00, 0x00};
    void SetUp() override { bit_reader_attach(bytes.data(), bytes.size(), bytes.data()); }
    std::ptrdiff_t offset() const { return bit_reader.byte_pointer - bytes.data(); }
};

TEST_F(BitReaderTest, MixedWidthsReadMostSignificantBitFirst) {
    EXPECT_EQ(bits_read_one(), 1u);        // 1
    EXPECT_EQ(bits_read_short(3), 2u);     // 010
    EXPECT_EQ(bits_read(12), 0x50Fu);      // 0101 0000 1111
    EXPECT_EQ(offset(), 2);
    EXPECT_EQ(bit_reader.bit_index, 0);
    EXPECT_EQ(bits_read(8), 0xF0u);
    EXPECT_EQ(offset(), 3);
}

TEST_F(BitReaderTest, ZeroBitsReadNothing) {
    bits_read_short(3);
    EXPECT_EQ(bits_read(0), 0u);
    EXPECT_EQ(offset(), 0);
    EXPECT_EQ(bit_reader.bit_index, 3);
    EXPECT_EQ(bits_read_short(0), 0u);
    EXPECT_EQ(offset(), 0);
    EXPECT_EQ(bit_reader.bit_index, 3);
    EXPECT_EQ(bits_read_short(2), 0u);  // bits 3-4 of 1010 0101: 00
}

TEST_F(BitReaderTest, SixteenBitsFromBitSeven) {
    bits_read_short(7);
    ASSERT_EQ(bit_reader.bit_index, 7);
    // 1 | 0000 1111 | 1111 000 = 1000 0111 1111 1000
    EXPECT_EQ(bits_read(16), 0x87F8u);
    EXPECT_EQ(offset(), 2);
    EXPECT_EQ(bit_reader.bit_index, 7);
}

TEST_F(BitReaderTest, SeventeenBitsAndSingleBits) {
    // 1010 0101 0000 1111 1 = 0x14A1F
    EXPECT_EQ(bits_read(17), 0x14A1Fu);
    EXPECT_EQ(offset(), 2);
    EXPECT_EQ(bit_reader.bit_index, 1);
    const std::uint32_t expected[] = {1, 1, 1, 0, 0, 0, 0};  // rest of 0xF0
    for (std::uint32_t bit : expected) EXPECT_EQ(bits_read_one(), bit);
    EXPECT_EQ(offset(), 3);
    EXPECT_EQ(bit_reader.bit_index, 0);
}

TEST_F(BitReaderTest, NineBitsShortAcrossAByte) {
    bits_read_short(4);
    // 0101 then the top five bits of 0000 1111: 0101 0000 1 = 0xA1
    EXPECT_EQ(bits_read_short(9), 0xA1u);
    EXPECT_EQ(offset(), 1);
    EXPECT_EQ(bit_reader.bit_index, 5);
}

// The reader is held inside its buffer: a byte at or past the end of the
// 2304-byte frame buffer reads as 0, while the position keeps advancing.
TEST(BitReaderBoundaryTest, BytesAtOrPastTheEndOfTheFrameBufferReadAsZero) {
    ASSERT_EQ(FRAME_BUFFER_SIZE, 2304u);
    // The memory behind the buffer holds 0xFF too, so only the guard can give zeros.
    std::vector<std::uint8_t> memory(FRAME_BUFFER_SIZE + 32, 0xFF);
    std::uint8_t* begin = memory.data();
    bit_reader_attach(begin, FRAME_BUFFER_SIZE, begin + 2301);

    EXPECT_EQ(bits_read(16), 0xFFFFu);  // bytes 2301, 2302
    EXPECT_EQ(bits_read_short(4), 0xFu);  // upper half of 2303
    // Lower half of 2303 then four bits of 2304: 1111 0000.
    EXPECT_EQ(bits_read_short(8), 0xF0u);
    EXPECT_EQ(bit_reader.byte_pointer - begin, 2304);
    EXPECT_EQ(bit_reader.bit_index, 4);
    EXPECT_EQ(bits_read(17), 0u);
    EXPECT_EQ(bits_read_one(), 0u);
    EXPECT_EQ(bits_read_short(9), 0u);
    // 4 + 17 + 1 + 9 = 31 bits from 2304 bit 0: byte 2307, bit 7.
    EXPECT_EQ(bit_reader.byte_pointer - begin, 2307);
    EXPECT_EQ(bit_reader.bit_index, 7);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(bits_read(16), 0u);
    EXPECT_EQ(bit_reader.byte_pointer - begin, 2307 + 200);
}

TEST(BitReaderBoundaryTest, LookAheadStopsAtTheBoundaryInEveryReader) {
    std::vector<std::uint8_t> memory(FRAME_BUFFER_SIZE + 8, 0xFF);
    std::uint8_t* begin = memory.data();

    // bits_read takes three bytes: from 2302, 17 bits are 16 ones and a zero.
    bit_reader_attach(begin, FRAME_BUFFER_SIZE, begin + 2302);
    EXPECT_EQ(bits_read(17), 0x1FFFEu);

    // bits_read_short takes two bytes: from 2303 bit 3, 5 ones then 4 zeros.
    bit_reader_attach(begin, FRAME_BUFFER_SIZE, begin + 2303);
    bits_read_short(3);
    EXPECT_EQ(bits_read_short(9), 0x1F0u);

    // bits_read_one at the last bit of the buffer and the first bit past it.
    bit_reader_attach(begin, FRAME_BUFFER_SIZE, begin + 2303);
    bits_read_short(7);
    EXPECT_EQ(bits_read_one(), 1u);
    EXPECT_EQ(bits_read_one(), 0u);
    EXPECT_EQ(bit_reader.byte_pointer - begin, 2304);
    EXPECT_EQ(bit_reader.bit_index, 1);
}

TEST(BitReaderBoundaryTest, TheGuardUsesTheAttachedBufferNotTheFixedSize) {
    // A reader attached to a small buffer stops at that buffer's end.
    std::vector<std::uint8_t> memory(16, 0xFF);
    bit_reader_attach(memory.data(), 4, memory.data() + 3);
    EXPECT_EQ(bits_read(16), 0xFF00u);
}
