#include "batch/record_fields.h"

#include "batch/file_name.h"
#include "batch/time_text.h"

namespace {

std::vector<std::string> texts(const std::vector<DecoderMessage>& messages) {
    std::vector<std::string> out;
    out.reserve(messages.size());
    for (const auto& m : messages) out.push_back(m.text);
    return out;
}

Counts counts(const gainscan::MessageTally& tally) {
    Counts out;
    for (const auto& c : tally.counts) out.emplace_back(c.text, c.count);
    return out;
}

template <typename T>
FieldValue maybe(bool present, T value) {
    if (!present) return Null{};
    return FieldValue{value};
}

}  // namespace

std::vector<Field> record_fields(const FileReport& r) {
    const bool valid_name = is_valid_utf8(r.file);
    const bool ok = r.ok;
    const bool whole = ok && r.whole_file;
    const bool payload = r.payload.has_value();
    const PayloadReport p = payload ? *r.payload : PayloadReport{};
    return {
        {"file", valid_name ? r.file : replace_invalid_utf8(r.file)},
        {"file_b64", maybe(!valid_name, base64(r.file))},
        {"status", std::string(ok ? "ok" : "error")},
        {"error", maybe(!ok, r.error)},
        {"verdict", maybe(ok, std::string(r.found ? "found" : "none"))},
        {"length", maybe(ok && r.found, std::uint64_t{r.length})},
        {"nbits", maybe(ok, std::uint64_t{r.nbits})},
        {"capacity", maybe(ok, std::uint64_t{r.capacity})},
        {"frames", maybe(ok, r.frames)},
        {"records", maybe(ok, r.records)},
        {"messages", texts(r.messages)},
        {"messages_omitted", std::uint64_t{r.messages_omitted}},
        {"flagged", r.flagged},
        {"bytes", maybe(ok, std::uint64_t{r.file_bytes})},
        {"format", maybe(ok, r.format)},
        {"seconds", maybe(whole && r.seconds.has_value(), r.seconds.value_or(0))},
        {"sha256", maybe(!r.sha256.empty(), r.sha256)},
        {"md5", maybe(!r.md5.empty(), r.md5)},
        {"mtime", maybe(r.mtime_ns.has_value(), iso8601_utc(r.mtime_ns.value_or(0)))},
        {"score", maybe(whole && r.score.has_value(), r.score.value_or(0))},
        {"p_value", maybe(whole && r.p_value.has_value(), r.p_value.value_or(0))},
        {"evidence", maybe(whole && !r.evidence.empty(), r.evidence)},
        {"evidence_reason", maybe(whole && !r.evidence_reason.empty(), r.evidence_reason)},
        {"carriers", maybe(whole, r.carriers)},
        {"span", maybe(whole && r.span.has_value(), r.span.value_or(0))},
        {"total_frames", maybe(whole, r.total_frames)},
        {"total_records", maybe(whole, r.total_records)},
        {"later_messages", maybe(whole, texts(r.later_messages.first))},
        {"later_message_counts", maybe(whole, counts(r.later_messages))},
        {"later_messages_other", maybe(whole, std::uint64_t{r.later_messages.other})},
        {"records_file", maybe(!r.records_file.empty(), r.records_file)},
        {"payload_file", maybe(payload && !p.file.empty(), p.file)},
        {"payload_bytes", maybe(payload, std::uint64_t{p.bytes})},
        {"payload_complete", maybe(payload, p.complete)},
        {"payload_sha256", maybe(payload && !p.sha256.empty(), p.sha256)},
        {"payload_mime", maybe(payload && !p.mime.empty(), p.mime)},
        {"payload_type", maybe(payload && !p.type.empty(), p.type)},
        {"payload_head", maybe(payload, p.head)},
        {"write_errors", r.write_errors},
        {"plot", maybe(whole && r.plot.has_value(), r.plot.value_or(gainscan::PlotReport{}))},
    };
}

std::vector<const char*> record_field_names() {
    std::vector<const char*> names;
    for (const Field& f : record_fields(FileReport{})) names.push_back(f.name);
    return names;
}
