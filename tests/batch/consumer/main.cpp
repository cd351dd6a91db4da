// Links against the installed decoder: initialise, feed nothing, release.
#include "decoder/decoder.h"

int main() {
    static DecoderState state{};
    if (dec_init(state) != 1) return 1;
    dec_finish(state);
    dec_release(state);
    return 0;
}
