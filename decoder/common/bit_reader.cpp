#include "decoder/common/bit_reader.h"

constinit thread_local BitReader bit_reader{};
