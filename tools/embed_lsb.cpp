// embed_lsb: TEST TOOL for gainscan. It builds positive test cases, i.e. MP3
// files that carry data in the least significant bit of global_gain, so that
// the analyser can be checked against files whose hidden content is known.
// It is not part of the analyser and is not meant for any other use.
//
// It copies IN to OUT changing only the least significant bit of the 8-bit
// global_gain field of some granule records (with --update-crc it also
// rewrites the CRC word of the frames it changed).
//
// Granule records are taken in decode order over every Layer III frame
// (the Xing/Info frame included): per frame, granule 0 then granule 1
// (MPEG-1 only; MPEG-2/2.5 frames have one granule), and within a granule
// channel 0 then channel 1 (if not mono). Records 0, 2, 4, ... carry bits:
// bit k is the LSB of global_gain of record 2k.
//   bits 0..5         nbits = bit length of LENGTH, most significant bit first
//   next nbits-1 bits LENGTH below its leading 1, most significant bit first
//   then              payload bits (PAYLOAD_HEX, most significant bit of each
//                     hex digit first, or --fill), at most LENGTH of them
//                     (8 x LENGTH with --bytes, the layout of the hiding tool)
// With --shift K it writes no bits but adds K to the global_gain of every
// granule record (clamped to 0..255), as a loudness tool does.
//
// Caveat: the analyser leaves out of its records the frames whose
// main_data_begin points back before the start of the stream (only possible
// at the very start) and badly damaged frames; this tool counts every Layer
// III frame it can walk, so it targets clean encoder output. Free format
// frames (bitrate index 0) are stepped over (their length is the distance to
// the next matching header) and carry nothing unless --free-format is given.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kBitrateV1L1[16] = {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0};
constexpr int kBitrateV1L2[16] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0};
constexpr int kBitrateV1L3[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
constexpr int kBitrateLsfL1[16] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0};
constexpr int kBitrateLsfL23[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr int kRateV1[3] = {44100, 48000, 32000};
constexpr int kRateV2[3] = {22050, 24000, 16000};
constexpr int kRateV25[3] = {11025, 12000, 8000};

struct Header {
  int layer = 0;  // 1, 2 or 3
  bool lsf = false;
  bool crc = false;
  bool mono = false;
  bool free_format = false;  // bitrate index 0: length not given by the header
  std::uint32_t word = 0;
  std::size_t length = 0;  // whole frame, header included (0 for free format)
};

// Parses the 4 bytes at p. Rejects reserved values (bitrate index 15,
// sampling frequency index 3, layer 0, version 1).
std::optional<Header> parse_header(const std::uint8_t* p) {
  const std::uint32_t h = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                          (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
  if ((h >> 21) != 0x7FF) return std::nullopt;
  const unsigned ver = (h >> 19) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  const unsigned layer_bits = (h >> 17) & 3;
  const unsigned bri = (h >> 12) & 15;
  const unsigned sfi = (h >> 10) & 3;
  if (ver == 1 || layer_bits == 0 || bri == 15 || sfi == 3) return std::nullopt;
  Header hd;
  hd.word = h;
  hd.free_format = bri == 0;
  hd.layer = static_cast<int>(4 - layer_bits);
  hd.lsf = ver != 3;
  hd.crc = ((h >> 16) & 1) == 0;
  hd.mono = ((h >> 6) & 3) == 3;
  const int rate = ver == 3 ? kRateV1[sfi] : ver == 2 ? kRateV2[sfi] : kRateV25[sfi];
  const std::size_t pad = (h >> 9) & 1;
  int kbps = 0;
  if (!hd.lsf) {
    kbps = hd.layer == 1 ? kBitrateV1L1[bri] : hd.layer == 2 ? kBitrateV1L2[bri] : kBitrateV1L3[bri];
  } else {
    kbps = hd.layer == 1 ? kBitrateLsfL1[bri] : kBitrateLsfL23[bri];
  }
  if (hd.free_format) return hd;
  const auto k = static_cast<std::size_t>(kbps);
  const auto r = static_cast<std::size_t>(rate);
  if (hd.layer == 1) {
    hd.length = (12000 * k / r + pad) * 4;
  } else if (hd.layer == 2) {
    hd.length = 144000 * k / r + pad;
  } else {
    hd.length = 144000 * k / (r << (hd.lsf ? 1 : 0)) + pad;
  }
  return hd;
}

// Size of a leading ID3v2 tag, clamped to the file.
std::size_t id3v2_size(const Bytes& b) {
  if (b.size() < 10 || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return 0;
  std::size_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (b[static_cast<std::size_t>(i)] & 0x7Fu);
  size += 10;
  if (b[3] == 4 && (b[5] & 0x10)) size += 10;  // footer
  return size < b.size() ? size : b.size();
}

// Size of an "AiD" block starting at pos (0 if none), clamped to the file.
std::size_t aid_size(const Bytes& b, std::size_t pos) {
  if (pos > b.size() || b.size() - pos < 6) return 0;
  if (b[pos] != 'A' || b[pos + 1] != 'i' || b[pos + 2] != 'D' || b[pos + 3] != 0x01) return 0;
  std::size_t n = b[pos + 4] | (std::size_t{b[pos + 5]} << 8);
  if (n < 6) n = 6;
  const std::size_t left = b.size() - pos;
  return n < left ? n : left;
}

struct Record {
  std::size_t byte;    // file offset of the byte holding global_gain's LSB
  std::uint8_t mask;   // that bit within the byte
  std::size_t frame;   // index into Frame list
  std::size_t lsb;     // absolute bit position of global_gain's LSB (0 = MSB of byte 0)
};

struct Frame {
  std::size_t pos;
  std::size_t side_len;
  bool crc;
};

struct Layout {
  std::vector<Frame> frames;    // Layer III frames
  std::vector<Record> records;  // every granule record in decode order
};

// Free format: the frame runs up to the next header with the same version,
// layer, bitrate index (0), sampling frequency and mode, or to the end.
std::size_t free_format_length(const Bytes& b, std::size_t pos, std::uint32_t word) {
  constexpr std::uint32_t kMask = 0xFFFEFCC0u;
  for (std::size_t q = pos + 4; q + 4 <= b.size(); ++q) {
    if (b[q] != 0xFF) continue;
    const auto h = parse_header(&b[q]);
    if (h && (h->word & kMask) == (word & kMask)) return q - pos;
  }
  return b.size() - pos;
}

Layout walk(const Bytes& b, bool use_free_format) {
  Layout out;
  std::size_t pos = id3v2_size(b);
  pos += aid_size(b, pos);
  while (pos + 4 <= b.size()) {
    auto hd = parse_header(&b[pos]);
    if (hd && hd->free_format) hd->length = free_format_length(b, pos, hd->word);
    if (!hd || hd->length < 4 || hd->length > b.size() - pos) {
      ++pos;  // not a frame (or one running past the end): resync
      continue;
    }
    if (hd->layer != 3 || (hd->free_format && !use_free_format)) {
      pos += hd->length;
      continue;
    }
    const std::size_t nch = hd->mono ? 1 : 2;
    const std::size_t ngr = hd->lsf ? 1 : 2;
    const std::size_t side_len = hd->lsf ? (hd->mono ? 9 : 17) : (hd->mono ? 17 : 32);
    const std::size_t side = pos + 4 + (hd->crc ? 2 : 0);
    if (side + side_len > pos + hd->length) {
      ++pos;
      continue;
    }
    // bit offset of the first granule/channel block and block size
    const std::size_t start = hd->lsf ? (hd->mono ? 9 : 10) : (hd->mono ? 18 : 20);
    const std::size_t block = hd->lsf ? 63 : 59;
    const std::size_t frame_index = out.frames.size();
    out.frames.push_back(Frame{pos, side_len, hd->crc});
    for (std::size_t gr = 0; gr < ngr; ++gr) {
      for (std::size_t ch = 0; ch < nch; ++ch) {
        // global_gain follows part2_3_length (12) and big_values (9); its
        // least significant bit is the last of its 8 bits
        const std::size_t bit = start + (gr * nch + ch) * block + 12 + 9 + 7;
        out.records.push_back(Record{side + bit / 8, static_cast<std::uint8_t>(0x80u >> (bit % 8)), frame_index,
                                      side * 8 + bit});
      }
    }
    pos += hd->length;
  }
  return out;
}

// CRC-16, polynomial 0x8005, initial value 0xFFFF, most significant bit first,
// over header bytes 2 and 3 and the side information.
std::uint16_t frame_crc(const Bytes& b, const Frame& f) {
  std::uint32_t crc = 0xFFFF;
  auto feed = [&crc](std::uint8_t byte) {
    for (int i = 7; i >= 0; --i) {
      const bool in = ((byte >> i) & 1) != 0;
      const bool top = (crc & 0x8000) != 0;
      crc = (crc << 1) & 0xFFFF;
      if (in != top) crc ^= 0x8005;
    }
  };
  feed(b[f.pos + 2]);
  feed(b[f.pos + 3]);
  for (std::size_t i = 0; i < f.side_len; ++i) feed(b[f.pos + 6 + i]);
  return static_cast<std::uint16_t>(crc);
}

class BitSource {
 public:
  virtual ~BitSource() = default;
  virtual bool next() = 0;
};

class HexBits : public BitSource {
 public:
  explicit HexBits(std::vector<std::uint8_t> nibbles) : nibbles_(std::move(nibbles)) {}
  bool next() override {
    const std::uint8_t v = nibbles_[i_ / 4];
    const bool bit = ((v >> (3 - i_ % 4)) & 1) != 0;
    ++i_;
    return bit;
  }

 private:
  std::vector<std::uint8_t> nibbles_;
  std::size_t i_ = 0;
};

class FillBits : public BitSource {
 public:
  enum class Kind { kZero, kOnes, kRandom };
  FillBits(Kind kind, std::uint64_t seed) : kind_(kind), state_(seed) {}
  bool next() override {
    if (kind_ == Kind::kZero) return false;
    if (kind_ == Kind::kOnes) return true;
    if (left_ == 0) {
      // splitmix64
      state_ += 0x9E3779B97F4A7C15ull;
      std::uint64_t z = state_;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      word_ = z ^ (z >> 31);
      left_ = 64;
    }
    --left_;
    return ((word_ >> left_) & 1) != 0;
  }

 private:
  Kind kind_;
  std::uint64_t state_;
  std::uint64_t word_ = 0;
  int left_ = 0;
};

// Adds k to the 8-bit global_gain ending at bit r.lsb, clamped to 0..255.
void shift_gain(Bytes& b, const Record& r, long k) {
  long gain = 0;
  for (std::size_t i = r.lsb - 7; i <= r.lsb; ++i) gain = (gain << 1) | ((b[i / 8] >> (7 - i % 8)) & 1);
  gain = gain + k < 0 ? 0 : gain + k > 255 ? 255 : gain + k;
  for (std::size_t i = r.lsb - 7; i <= r.lsb; ++i) {
    const auto m = static_cast<std::uint8_t>(0x80u >> (i % 8));
    const bool bit = ((gain >> (r.lsb - i)) & 1) != 0;
    b[i / 8] = static_cast<std::uint8_t>(bit ? (b[i / 8] | m) : (b[i / 8] & ~m));
  }
}

void usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [options] IN OUT LENGTH [PAYLOAD_HEX]\n"
               "       %s --shift K [--update-crc] IN OUT\n"
               "TEST TOOL: writes bits into the LSB of global_gain of granule records\n"
               "0, 2, 4, ... of the Layer III frames of IN and saves the result as OUT.\n"
               "Bits written: 6-bit nbits (bit length of LENGTH), LENGTH below its leading\n"
               "1 (nbits-1 bits), then up to LENGTH payload bits (all MSB first).\n"
               "  LENGTH          payload length in bits, 1 .. 4294967295 (decimal or 0x hex)\n"
               "  PAYLOAD_HEX     payload as hex digits (MSB of each digit first); if it is\n"
               "                  shorter than LENGTH bits, only its bits are written\n"
               "options:\n"
               "  --nbits N       write N (0..63) as the 6-bit nbits field instead; the\n"
               "                  N-1 length bits are then LENGTH's low bits (LENGTH may be 0)\n"
               "  --fill KIND     payload without PAYLOAD_HEX: random (default), zero, ones\n"
               "  --seed S        seed for --fill random (default 1)\n"
               "  --update-crc    recompute the CRC word of protected frames that changed\n"
               "                  (by default the CRC is left as it was, so it goes stale)\n"
               "  --free-format   also use free format frames (bitrate index 0); by default\n"
               "                  they are stepped over and carry nothing\n"
               "  --bytes         LENGTH counts bytes: 8 x LENGTH payload bits follow\n"
               "  --shift K       write no bits; add K (-255..255) to every global_gain\n",
               argv0, argv0);
}

std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  std::uint64_t v = 0;
  for (const char c : s) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return std::nullopt;
    if (v > (UINT64_MAX - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) return std::nullopt;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  return v;
}

bool read_file(const std::string& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> pos_args;
  std::optional<std::uint64_t> forced_nbits;
  FillBits::Kind fill = FillBits::Kind::kRandom;
  std::uint64_t seed = 1;
  bool update_crc = false;
  bool use_free_format = false;
  bool bytes = false;
  std::optional<long> shift;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&](const char* name) -> std::optional<std::string_view> {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "embed_lsb: %s needs a value\n", name);
        return std::nullopt;
      }
      return std::string_view(argv[++i]);
    };
    if (a == "-h" || a == "--help") {
      usage(argv[0]);
      return 0;
    } else if (a == "--nbits") {
      const auto v = value("--nbits");
      const auto n = v ? parse_u64(*v) : std::nullopt;
      if (!n || *n > 63) {
        std::fprintf(stderr, "embed_lsb: --nbits needs a number 0..63\n");
        usage(argv[0]);
        return 1;
      }
      forced_nbits = *n;
    } else if (a == "--fill") {
      const auto v = value("--fill");
      if (!v) { usage(argv[0]); return 1; }
      if (*v == "random") fill = FillBits::Kind::kRandom;
      else if (*v == "zero") fill = FillBits::Kind::kZero;
      else if (*v == "ones") fill = FillBits::Kind::kOnes;
      else {
        std::fprintf(stderr, "embed_lsb: --fill must be random, zero or ones\n");
        usage(argv[0]);
        return 1;
      }
    } else if (a == "--seed") {
      const auto v = value("--seed");
      const auto n = v ? parse_u64(*v) : std::nullopt;
      if (!n) {
        std::fprintf(stderr, "embed_lsb: --seed needs a number\n");
        usage(argv[0]);
        return 1;
      }
      seed = *n;
    } else if (a == "--update-crc") {
      update_crc = true;
    } else if (a == "--free-format") {
      use_free_format = true;
    } else if (a == "--bytes") {
      bytes = true;
    } else if (a == "--shift") {
      const auto v = value("--shift");
      const bool neg = v && !v->empty() && (*v)[0] == '-';
      const auto n = v ? parse_u64(neg ? v->substr(1) : *v) : std::nullopt;
      if (!n || *n > 255) {
        std::fprintf(stderr, "embed_lsb: --shift needs a number -255..255\n");
        usage(argv[0]);
        return 1;
      }
      shift = neg ? -static_cast<long>(*n) : static_cast<long>(*n);
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "embed_lsb: unknown option %s\n", argv[i]);
      usage(argv[0]);
      return 1;
    } else {
      pos_args.emplace_back(a);
    }
  }
  if (shift && pos_args.size() == 2) pos_args.emplace_back("0");
  if (pos_args.size() < 3 || pos_args.size() > 4 || (shift && pos_args.size() != 3)) {
    usage(argv[0]);
    return 1;
  }
  const auto length = parse_u64(pos_args[2]);
  if (!length || *length > 0xFFFFFFFFull || (*length == 0 && !forced_nbits && !shift)) {
    std::fprintf(stderr, "embed_lsb: LENGTH must be a number 1..4294967295 (0 only with --nbits)\n");
    usage(argv[0]);
    return 1;
  }
  std::optional<std::vector<std::uint8_t>> nibbles;
  if (pos_args.size() == 4) {
    std::string_view hex = pos_args[3];
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
    std::vector<std::uint8_t> v;
    for (const char c : hex) {
      if (c >= '0' && c <= '9') v.push_back(static_cast<std::uint8_t>(c - '0'));
      else if (c >= 'a' && c <= 'f') v.push_back(static_cast<std::uint8_t>(c - 'a' + 10));
      else if (c >= 'A' && c <= 'F') v.push_back(static_cast<std::uint8_t>(c - 'A' + 10));
      else {
        std::fprintf(stderr, "embed_lsb: PAYLOAD_HEX must contain hex digits only\n");
        usage(argv[0]);
        return 1;
      }
    }
    nibbles = std::move(v);
  }

  Bytes data;
  if (!read_file(pos_args[0], data)) {
    std::fprintf(stderr, "embed_lsb: cannot read %s: %s\n", pos_args[0].c_str(), std::strerror(errno));
    return 1;
  }
  const Layout layout = walk(data, use_free_format);

  // the bit sequence: nbits, length bits, payload bits
  std::uint64_t nbits = 0;
  for (std::uint64_t v = *length; v != 0; v >>= 1) ++nbits;
  if (forced_nbits) nbits = *forced_nbits;
  const std::uint64_t length_bits = nbits > 0 ? nbits - 1 : 0;
  std::uint64_t payload_bits = bytes ? *length * 8 : *length;
  std::unique_ptr<BitSource> payload;
  if (nibbles) {
    const std::uint64_t have = static_cast<std::uint64_t>(nibbles->size()) * 4;
    if (have < payload_bits) payload_bits = have;
    payload = std::make_unique<HexBits>(std::move(*nibbles));
  } else {
    payload = std::make_unique<FillBits>(fill, seed);
  }
  const std::uint64_t wanted = 6 + length_bits + payload_bits;
  const std::uint64_t carrying = (layout.records.size() + 1) / 2;
  const std::uint64_t count = shift ? 0 : wanted < carrying ? wanted : carrying;

  Bytes out = data;
  std::vector<bool> touched(layout.frames.size(), false);
  for (const Record& r : layout.records) {
    if (!shift) break;
    shift_gain(out, r, *shift);
    touched[r.frame] = true;
  }
  for (std::uint64_t k = 0; k < count; ++k) {
    bool bit = false;
    if (k < 6) {
      bit = ((nbits >> (5 - k)) & 1) != 0;
    } else if (k < 6 + length_bits) {
      const std::uint64_t j = k - 6;  // 0 .. length_bits-1, MSB first
      const std::uint64_t shift = length_bits - 1 - j;
      bit = shift < 64 && ((*length >> shift) & 1) != 0;
    } else {
      bit = payload->next();
    }
    const Record& r = layout.records[static_cast<std::size_t>(2 * k)];
    out[r.byte] = static_cast<std::uint8_t>(bit ? (out[r.byte] | r.mask) : (out[r.byte] & ~r.mask));
    if (out[r.byte] != data[r.byte]) touched[r.frame] = true;
  }
  std::size_t crc_fixed = 0;
  if (update_crc) {
    for (std::size_t i = 0; i < layout.frames.size(); ++i) {
      const Frame& f = layout.frames[i];
      if (!touched[i] || !f.crc) continue;
      const std::uint16_t c = frame_crc(out, f);
      out[f.pos + 4] = static_cast<std::uint8_t>(c >> 8);
      out[f.pos + 5] = static_cast<std::uint8_t>(c & 0xFF);
      ++crc_fixed;
    }
  }
  if (!write_file(pos_args[1], out)) {
    std::fprintf(stderr, "embed_lsb: cannot write %s: %s\n", pos_args[1].c_str(), std::strerror(errno));
    return 1;
  }
  if (count < wanted && !shift) {
    std::fprintf(stderr,
                 "embed_lsb: warning: only %llu of %llu bits fit (%llu carrying records); wrote what fits\n",
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(wanted),
                 static_cast<unsigned long long>(carrying));
  }
  const std::uint64_t payload_written = count > 6 + length_bits ? count - 6 - length_bits : 0;
  std::printf("embed_lsb: wrote %llu bits (nbits=%llu, %llu length bits, %llu payload bits) into %llu of %llu "
              "carrying records (%zu granule records, %zu Layer III frames)%s\n",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(nbits),
              static_cast<unsigned long long>(length_bits),
              static_cast<unsigned long long>(payload_written), static_cast<unsigned long long>(count),
              static_cast<unsigned long long>(carrying), layout.records.size(), layout.frames.size(),
              update_crc ? (crc_fixed ? ", CRC updated" : ", no CRC to update") : "");
  return 0;
}
