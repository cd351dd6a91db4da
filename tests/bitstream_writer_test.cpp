#include "bitstream_writer.h"

#include <gtest/gtest.h>

using namespace testing_stream;

TEST(BitWriterTest, PacksBitsMostSignificantFirst) {
    BitWriter w;
    w.put(1, 1);
    w.put(2, 3);
    w.put(0x50F, 12);
    EXPECT_EQ(w.bytes(), (Bytes{0xA5, 0x0F}));
    EXPECT_EQ(w.bit_count(), 16u);
}

TEST(BitWriterTest, HeaderWordMatchesKnownHeader) {
    HeaderFields h;  // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, joint stereo
    EXPECT_EQ(header_word(h), 0xFFFB9040u);
    EXPECT_EQ(layer3_body_size(h), 413);
}

TEST(BitWriterTest, PairCodesComeFromTheStandardTables) {
    EXPECT_EQ(pair_code(1, 0, 0), "1");
    EXPECT_EQ(pair_code(1, 1, 0), "01");
    EXPECT_EQ(pair_code(1, 0, 1), "001");
    EXPECT_EQ(pair_code(1, 1, 1), "000");
    EXPECT_EQ(table_linbits(23), 13);
    EXPECT_EQ(pair_code(17, 15, 15), pair_code(16, 15, 15));
}
