#include "decoder/common/bit_reader.h"

thread_local BitReader bit_reader{};
