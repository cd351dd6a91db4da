#include "decoder/common/frame_header.h"

#include "decoder/common/messages.h"

int header_is_plausible(std::uint32_t header) {
    if ((header & 0xFFE00000u) != 0xFFE00000u) return 0;
    if (((header >> 17) & 3u) == 0) return 0;
    if (((header >> 12) & 15u) == 15) return 0;
    if (((header >> 10) & 3u) == 3) return 0;
    return 1;
}

int header_decode(FrameInfo& frame, std::uint32_t header) {
    frame.header_word = header;
    if (header & (1u << 20)) {
        frame.lsf_flag = (header & (1u << 19)) ? 0 : 1;
        frame.mpeg25_flag = 0;
    } else {
        // MPEG-2.5 whatever the ID bit says.
        frame.lsf_flag = 1;
        frame.mpeg25_flag = 1;
    }
    frame.layer = 4 - static_cast<std::int32_t>((header >> 17) & 3u);

    const auto frequency_bits = static_cast<std::int32_t>((header >> 10) & 3u);
    if (frequency_bits == 3) {
        dec_message(MESSAGE_STDERR, "Stream error\n");
        return 0;
    }
    frame.sampling_index =
        frame.mpeg25_flag ? frequency_bits + 6 : frequency_bits + 3 * frame.lsf_flag;
    frame.crc_present = 1 - static_cast<std::int32_t>((header >> 16) & 1u);
    frame.bitrate_index = static_cast<std::int32_t>((header >> 12) & 15u);
    frame.padding_bit = static_cast<std::int32_t>((header >> 9) & 1u);
    frame.private_bit = static_cast<std::int32_t>((header >> 8) & 1u);
    frame.mode = static_cast<std::int32_t>((header >> 6) & 3u);
    frame.mode_extension = static_cast<std::int32_t>((header >> 4) & 3u);
    frame.copyright = static_cast<std::int32_t>((header >> 3) & 1u);
    frame.original = static_cast<std::int32_t>((header >> 2) & 1u);
    frame.emphasis = static_cast<std::int32_t>(header & 3u);
    frame.error_flag = 0;
    frame.channels = frame.mode == 3 ? 1 : 2;

    switch (frame.layer) {
    case 1:
        dec_message(MESSAGE_STDERR, "Not supported! (@common, Layer 1)\n");
        return 1;
    case 2:
        dec_message(MESSAGE_STDERR, "Not supported! (@common, Layer 2)\n");
        return 1;
    case 3:
        // Free format (bitrate 0) gives padding - 4: a body that copies nothing.
        frame.frame_size = BITRATE_KBPS[bitrate_row(frame.lsf_flag != 0, 3)][frame.bitrate_index] * 144000 /
                               (SAMPLING_RATES[frame.sampling_index] << frame.lsf_flag) +
                           frame.padding_bit - 4;
        return 1;
    default:
        dec_message(MESSAGE_STDERR, "Sorry, unknown layer type: %i.\n", frame.layer);
        return -1;
    }
}
