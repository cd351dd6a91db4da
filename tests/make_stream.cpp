// Builds a test stream from a field-by-field description and writes its bytes.
//
//   make_stream DESCRIPTION OUTPUT
//
// One item per line; '#' starts a comment. Numbers are decimal or 0x hex.
//   frame  v=1|2|25 layer= crc= br= f= pad= mode= ext= mdb= priv= scfsi=a,b
//   granule p23= bv= gg= sfc= ws= bt= mix= ts=a,b,c sbg=a,b,c r0= r1= pre= sfs= c1=
//          (granules in stream order: gr 0 ch 0, gr 0 ch 1, gr 1 ch 0, ...;
//           p23 defaults to the bits of the granule's main data)
//   bits WIDTH VALUE ...        main data of the current granule
//   pair TABLE X Y [X Y ...]    big-value pairs, signs and escapes included
//   quad A|B V W X Y [COUNT]    a count1 quadruple of -1, 0, 1 (COUNT times)
//   hex BYTES | zeros COUNT | id3 SIZE [high] | aid LENGTH | fixture NAME [OFFSET [COUNT]]
//          bytes between frames
// A frame's main data starts mdb bytes before its side information ends, in
// the body of the frame before (left out if that reaches before the stream);
// the rest of a body is zeros.
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "bitstream_writer.h"

using namespace testing_stream;

namespace {

struct Frame {
    HeaderFields header;
    SideInfoFields side;
    std::vector<BitWriter> main_data;  // per granule record, in stream order
    std::vector<bool> auto_length;
};

std::uint32_t number(const std::string& s) { return static_cast<std::uint32_t>(std::stoul(s, nullptr, 0)); }

std::array<std::uint32_t, 3> triple(const std::string& s) {
    std::array<std::uint32_t, 3> t{};
    std::istringstream in(s);
    std::string item;
    for (std::size_t i = 0; i < 3 && std::getline(in, item, ','); ++i) t[i] = number(item);
    return t;
}

void emit(Bytes& out, std::size_t& previous_body_end, Frame& f) {
    const bool lsf = f.header.version != 1;
    const int channels = f.header.mode == 3 ? 1 : 2;
    BitWriter main;
    for (std::size_t k = 0; k < f.main_data.size(); ++k) {
        GranuleFields& g = f.side.granule[k / static_cast<std::size_t>(channels)][k % static_cast<std::size_t>(channels)];
        if (f.auto_length[k]) g.part2_3_length = static_cast<std::uint32_t>(f.main_data[k].bit_count());
        for (std::size_t bit = 0; bit < f.main_data[k].bit_count(); ++bit)
            main.put((f.main_data[k].bytes()[bit / 8] >> (7 - bit % 8)) & 1u, 1);
    }
    BitWriter w;
    w.put(header_word(f.header), 32);
    if (f.header.crc) w.put(0xBEEF, 16);
    put_side_info(w, f.side, lsf, channels);
    Bytes data = main.bytes();
    // Main data reaching back before the stream is left out.
    const std::size_t back = std::min<std::size_t>(f.side.main_data_begin, data.size());
    if (back <= previous_body_end)
        std::copy(data.begin(), data.begin() + static_cast<long>(back),
                  out.begin() + static_cast<long>(previous_body_end - back));
    Bytes frame = w.bytes();
    frame.insert(frame.end(), data.begin() + static_cast<long>(back), data.end());
    frame.resize(static_cast<std::size_t>(4 + layer3_body_size(f.header)), 0);
    out.insert(out.end(), frame.begin(), frame.end());
    previous_body_end = out.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make_stream DESCRIPTION OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    Bytes out;
    std::size_t previous_body_end = 0;
    Frame frame;
    bool open = false;
    std::string line;
    int line_number = 0;
    try {
        while (std::getline(in, line)) {
            ++line_number;
            std::istringstream words(line.substr(0, line.find('#')));
            std::string item, word;
            if (!(words >> item)) continue;
            std::vector<std::string> args;
            while (words >> word) args.push_back(word);
            if (item == "frame" || item == "hex" || item == "zeros" || item == "id3" || item == "aid" ||
                item == "fixture") {
                if (open) emit(out, previous_body_end, frame);
                open = false;
            }
            if (item == "frame") {
                frame = Frame{};
                open = true;
                for (const std::string& a : args) {
                    const std::string key = a.substr(0, a.find('=')), value = a.substr(a.find('=') + 1);
                    HeaderFields& h = frame.header;
                    if (key == "v") h.version = static_cast<int>(number(value));
                    else if (key == "layer") h.layer = static_cast<int>(number(value));
                    else if (key == "crc") h.crc = number(value) != 0;
                    else if (key == "br") h.bitrate_index = static_cast<int>(number(value));
                    else if (key == "f") h.frequency_bits = static_cast<int>(number(value));
                    else if (key == "pad") h.padding = static_cast<int>(number(value));
                    else if (key == "mode") h.mode = static_cast<int>(number(value));
                    else if (key == "ext") h.mode_extension = static_cast<int>(number(value));
                    else if (key == "mdb") frame.side.main_data_begin = number(value);
                    else if (key == "priv") frame.side.private_bits = number(value);
                    else if (key == "scfsi") {
                        const auto t = triple(value);
                        frame.side.scfsi = {t[0], t[1]};
                    } else throw std::runtime_error("unknown field " + key);
                }
            } else if (item == "granule") {
                const std::size_t k = frame.main_data.size();
                const std::size_t channels = frame.header.mode == 3 ? 1 : 2;
                GranuleFields& g = frame.side.granule[k / channels][k % channels];
                frame.main_data.emplace_back();
                frame.auto_length.push_back(true);
                for (const std::string& a : args) {
                    const std::string key = a.substr(0, a.find('=')), value = a.substr(a.find('=') + 1);
                    if (key == "p23") g.part2_3_length = number(value), frame.auto_length.back() = false;
                    else if (key == "bv") g.big_values = number(value);
                    else if (key == "gg") g.global_gain = number(value);
                    else if (key == "sfc") g.scalefac_compress = number(value);
                    else if (key == "ws") g.window_switching = number(value) != 0;
                    else if (key == "bt") g.block_type = number(value);
                    else if (key == "mix") g.mixed_block_flag = number(value);
                    else if (key == "ts") g.table_select = triple(value);
                    else if (key == "sbg") g.subblock_gain = triple(value);
                    else if (key == "r0") g.region0_count = number(value);
                    else if (key == "r1") g.region1_count = number(value);
                    else if (key == "pre") g.preflag = number(value);
                    else if (key == "sfs") g.scalefac_scale = number(value);
                    else if (key == "c1") g.count1table_select = number(value);
                    else throw std::runtime_error("unknown field " + key);
                }
            } else if (item == "bits" || item == "pair" || item == "quad") {
                if (frame.main_data.empty()) throw std::runtime_error(item + " outside a granule");
                BitWriter& w = frame.main_data.back();
                if (item == "bits")
                    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
                        if (number(args[i]) > 32) throw std::runtime_error("more than 32 bits at once");
                        w.put(number(args[i + 1]), static_cast<int>(number(args[i])));
                    }
                else if (item == "pair")
                    for (std::size_t i = 1; i + 1 < args.size(); i += 2)
                        put_pair(w, std::stoi(args[0]), std::stoi(args[i]), std::stoi(args[i + 1]));
                else
                    for (int n = args.size() > 5 ? std::stoi(args[5]) : 1; n > 0; --n)
                        put_quad(w, args.at(0)[0], std::stoi(args.at(1)), std::stoi(args.at(2)),
                                 std::stoi(args.at(3)), std::stoi(args.at(4)));
            } else if (item == "hex") {
                for (const std::string& a : args)
                    for (std::size_t i = 0; i + 1 < a.size(); i += 2)
                        out.push_back(static_cast<std::uint8_t>(std::stoul(a.substr(i, 2), nullptr, 16)));
            } else if (item == "zeros") {
                out.resize(out.size() + number(args.at(0)), 0);
            } else if (item == "id3" || item == "aid") {
                const Bytes b = item == "id3" ? id3v2_tag(number(args.at(0)), args.size() > 1)
                                              : aid_block(static_cast<std::uint16_t>(number(args.at(0))));
                out.insert(out.end(), b.begin(), b.end());
            } else if (item == "fixture") {
                std::ifstream f(std::string(GAINSCAN_FIXTURES) + "/" + args.at(0), std::ios::binary);
                const Bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
                if (all.empty()) throw std::runtime_error("no fixture " + args[0]);
                const std::size_t from = std::min<std::size_t>(args.size() > 1 ? number(args[1]) : 0, all.size());
                const std::size_t count = args.size() > 2 ? number(args[2]) : all.size();
                out.insert(out.end(), all.begin() + static_cast<long>(from),
                           all.begin() + static_cast<long>(std::min(all.size(), from + count)));
            } else {
                throw std::runtime_error("unknown item " + item);
            }
        }
        if (open) emit(out, previous_body_end, frame);
    } catch (const std::exception& e) {
        std::cerr << argv[1] << ":" << line_number << ": " << e.what() << "\n";
        return 2;
    }
    std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                   static_cast<std::streamsize>(out.size()));
    return 0;
}
