// gainscan::Decoder: the owned, typed face of the stage decoder. It keeps the
// stages' DecoderState behind a pointer, turns the stages' hooks into one
// event per frame and per granule record that carries everything an observer
// needs (so none has to reach back into the decoder), and always installs a
// message sink, so that a fault ends the stream, never the process.
#include "gainscan/decoder.h"

#include "decoder/decoder.h"
#include "decoder/input_chain.h"
#include "decoder/layer3/side_info.h"

namespace gainscan {

struct Decoder::State {
    DecoderState stages{};
    MessageSink* sink = nullptr;
    DecoderObserver* observer = nullptr;
    DecoderOptions options;
    std::int64_t frame_index = 0;
    std::int64_t slot_base = 0;  // first slot of the frame being decoded
    std::uint64_t bytes_fed = 0;
    FrameHeader header{};
    std::int64_t described = -1;  // the frame `header` describes

    void start() {
        stages = DecoderState{};
        dec_init(stages);
        stages.frame_hook = on_frame;
        stages.granule_hook = on_granule;
        stages.message_sink = ::MessageSink{forward_message, this};
        stages.client = this;
        stages.skip_spectrum = options.spectrum ? 0 : 1;
        // Clients see each spectrum before any stereo processing, in the
        // granule's event; nothing of theirs reads the buffers after it, and
        // the event has no quantised values.
        stages.skip_stereo = 1;
        stages.skip_quantised = 1;
        frame_index = 0;
        described = -1;
        slot_base = 0;
        bytes_fed = 0;
    }

    // The frame's body has just been taken out of the buffered input.
    std::uint64_t frame_offset() const {
        const auto behind = static_cast<std::uint64_t>(stages.bytes_buffered) +
                            static_cast<std::uint64_t>(stages.frame.frame_size) + 4;
        return bytes_fed >= behind ? bytes_fed - behind : 0;
    }

    static State& of_current() { return *static_cast<State*>(dec_client()); }

    static void forward_message(void* context, int stream, const char* text, std::size_t length) {
        auto* self = static_cast<State*>(context);
        if (self->sink != nullptr)
            self->sink->message(stream == MESSAGE_STDOUT ? Stream::out : Stream::err, std::string_view(text, length));
    }

    static FrameHeader describe(const FrameInfo& f) {
        FrameHeader h{};
        h.version = f.mpeg25_flag ? MpegVersion::mpeg25 : f.lsf_flag ? MpegVersion::mpeg2 : MpegVersion::mpeg1;
        h.layer = f.layer;
        h.sample_rate = f.sampling_index >= 0 && f.sampling_index < 9 ? SAMPLING_RATES[static_cast<std::size_t>(f.sampling_index)] : 0;
        h.bitrate_kbps = bitrate_kbps(h.version, f.layer, f.bitrate_index);
        h.mode = static_cast<ChannelMode>(f.mode & 3);
        h.mode_extension = f.mode_extension;
        h.channels = f.channels;
        h.crc_protected = f.crc_present != 0;
        h.padding = f.padding_bit != 0;
        h.frame_bytes = f.frame_size + 4;
        return h;
    }

    static void on_granule(const GranuleInfo* granule, std::uint32_t /*user_data*/, std::int32_t channel) {
        State& self = of_current();
        if (self.observer == nullptr) return;
        const FrameInfo& frame = self.stages.frame;
        if (self.described != self.frame_index) {
            self.header = describe(frame);
            self.described = self.frame_index;
        }
        GranuleEvent event{
            self.frame_index,
            self.frame_offset(),
            frame.granule_index,
            channel,
            self.slot_base + frame.granule_index * frame.channels + channel,
            &self.header,
            GranuleSideInfo{granule->part2_3_length, granule->big_values, granule->global_gain,
                            granule->scalefac_compress, granule->block_type, granule->mixed_block_flag,
                            granule->table_select, granule->region1_start, granule->region2_start,
                            granule->preflag, granule->scalefac_scale, granule->count1table_select, granule->scfsi},
            std::span<const float, 576>(granule->spectrum, 576),
            granule->spectrum_end,
        };
        self.observer->on_granule(event);
    }

    static void on_frame(const FrameInfo* frame, std::uint32_t /*user_data*/) {
        State& self = of_current();
        if (self.observer != nullptr) {
            self.header = describe(*frame);
            self.observer->on_frame(FrameEvent{self.frame_index, self.frame_offset(), self.header,
                                               frame->main_data_begin, frame->skipped_bytes, frame->error_flag != 0});
        }
        ++self.frame_index;
        // Every granule of every channel of a Layer III frame has its slot,
        // read or not, so a lost granule does not shift the ones after it.
        if (frame->layer == 3) self.slot_base += (frame->lsf_flag ? 1 : 2) * frame->channels;
    }
};

int bitrate_kbps(MpegVersion version, int layer, int index) {
    if (layer < 1 || layer > 3 || index < 0 || index > 15) return 0;
    return BITRATE_KBPS[bitrate_row(version != MpegVersion::mpeg1, layer)][static_cast<std::size_t>(index)];
}

Decoder::Decoder() : Decoder(DecoderOptions{}) {}

Decoder::Decoder(DecoderOptions options) : state_(std::make_unique<State>()) {
    state_->options = options;
    state_->start();
}

Decoder::~Decoder() {
    if (state_) dec_release(state_->stages);
}

// The stages find their state through the client pointer, which must follow
// the State; moving the unique_ptr keeps the State where it is.
Decoder::Decoder(Decoder&&) noexcept = default;

Decoder& Decoder::operator=(Decoder&& other) noexcept {
    if (this != &other) {
        if (state_) dec_release(state_->stages);
        state_ = std::move(other.state_);
    }
    return *this;
}

void Decoder::set_message_sink(MessageSink* sink) { state_->sink = sink; }
void Decoder::set_observer(DecoderObserver* observer) { state_->observer = observer; }

namespace {

Step step_of(int result) {
    return result == DEC_OK ? Step::frame : result == DEC_NEED_MORE ? Step::need_more : Step::error;
}

}  // namespace

Step Decoder::feed(std::span<const std::uint8_t> input) {
    if (input.empty()) return next();
    // The stages count buffered bytes in 32 bits.
    if (input.size() > MAX_FEED) {
        if (state_->sink != nullptr) state_->sink->message(Stream::err, "Input chunk too large!\n");
        return Step::error;
    }
    state_->bytes_fed += input.size();
    return step_of(dec_decode(state_->stages, input.data(), static_cast<std::int32_t>(input.size()), nullptr, 0, nullptr));
}

Step Decoder::next() { return step_of(dec_decode(state_->stages, nullptr, 0, nullptr, 0, nullptr)); }

void Decoder::finish() { dec_finish(state_->stages); }

void Decoder::reset() {
    dec_release(state_->stages);
    state_->start();
}

std::int64_t Decoder::frames() const { return state_->frame_index; }
bool Decoder::failed() const { return state_->stages.failed != 0; }
std::uint64_t Decoder::bytes_fed() const { return state_->bytes_fed; }
std::uint64_t Decoder::bytes_skipped() const {
    return state_->stages.skipped_total > 0 ? static_cast<std::uint64_t>(state_->stages.skipped_total) : 0;
}

}  // namespace gainscan
