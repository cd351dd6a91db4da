#include "analysis/message_tally.h"

#include <algorithm>

namespace gainscan {

void MessageTally::add(Stream stream, std::string_view text) {
    if (first.size() < LATER_MESSAGES_KEPT) first.push_back(DecoderMessage{stream, std::string(text)});
    // A few distinct texts at most (the decoder has about a dozen forms, some
    // with a number), so a linear search is cheaper than a map.
    const auto known = std::find_if(counts.begin(), counts.end(), [&](const MessageCount& c) { return c.text == text; });
    if (known != counts.end()) ++known->count;
    else if (counts.size() < LATER_MESSAGE_TEXTS) counts.push_back(MessageCount{std::string(text), 1});
    else ++other;
}

void keep_message(FileReport& report, std::size_t& kept_bytes, Stream stream, std::string_view text) {
    if (report.messages_omitted == 0 && kept_bytes + text.size() <= MESSAGES_KEPT_BYTES) {
        kept_bytes += text.size();
        report.messages.push_back(DecoderMessage{stream, std::string(text)});
    } else {
        ++report.messages_omitted;
    }
}

}  // namespace gainscan
