#include "report/report_input.h"

#include <array>
#include <string_view>

#include "report/html_text.h"

namespace gainscan {

namespace {

constexpr std::size_t kExcerptBytes = 120;

class LineCollector {
public:
    explicit LineCollector(ReportInput& input) : input_(input) {}

    void line(std::string_view text, bool too_long) {
        ++input_.lines;
        if (input_.lines == 1 && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (text.find_first_not_of(" \t") == std::string_view::npos && !too_long) return;
        if (too_long) {
            problem(text, "line longer than " + std::to_string(kMaxLineBytes >> 20) + " MiB, not read");
            return;
        }
        nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
        if (value.is_discarded()) {
            problem(text, "not valid JSON (cut short, or not UTF-8?)");
            return;
        }
        if (!value.is_object()) {
            problem(text, std::string("a JSON ") + value.type_name() + ", not an object");
            return;
        }
        if (value.size() == 1 && value.contains("scan")) {
            header(text, std::move(value["scan"]));
            return;
        }
        if (value.size() == 1 && value.contains("summary")) {
            summary(text, std::move(value["summary"]));
            return;
        }
        if (!value.contains("file") || !value["file"].is_string()) {
            problem(text, "a record without a \"file\" name");
            return;
        }
        input_.records.push_back(std::move(value));
    }

private:
    void header(std::string_view text, nlohmann::json scan) {
        if (!scan.is_object()) {
            problem(text, "\"scan\" is not an object");
        } else if (!input_.scan.is_null()) {
            problem(text, "a second scan header (reports concatenated?); the first one is shown");
        } else if (!input_.records.empty()) {
            problem(text, "a scan header after records; not used");
        } else {
            input_.scan = std::move(scan);
        }
    }

    void summary(std::string_view text, nlohmann::json summary) {
        if (!summary.is_object()) {
            problem(text, "\"summary\" is not an object");
            return;
        }
        if (!input_.summary.is_null()) {
            // Keep the latest; name the one it replaces by its own line.
            InputProblem replaced{summary_line_, "an earlier summary; the last one is shown", summary_excerpt_};
            add(std::move(replaced));
        }
        input_.summary = std::move(summary);
        summary_line_ = input_.lines;
        summary_excerpt_ = shorten(text, kExcerptBytes);
    }

    void problem(std::string_view text, std::string reason) {
        add(InputProblem{input_.lines, std::move(reason), shorten(text, kExcerptBytes)});
    }

    void add(InputProblem problem) {
        ++input_.problem_count;
        if (input_.problems.size() < kMaxNamedProblems) input_.problems.push_back(std::move(problem));
    }

    ReportInput& input_;
    std::uint64_t summary_line_ = 0;
    std::string summary_excerpt_;
};

}  // namespace

ReportInput read_report_jsonl(std::istream& in) {
    ReportInput input;
    LineCollector collector(input);
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr) {
        input.read_failed = true;
        return input;
    }
    std::string line;
    bool too_long = false, pending = false;
    std::array<char, 1 << 16> chunk{};
    for (;;) {
        std::streamsize got = 0;
        // Any failure of the underlying read ends the input like end of file,
        // but is remembered: a short read is not the same as a short report.
        try {
            got = buffer->sgetn(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        } catch (...) {
            input.read_failed = true;
            break;
        }
        if (got <= 0) break;
        std::string_view data(chunk.data(), static_cast<std::size_t>(got));
        while (!data.empty()) {
            const std::size_t end = data.find('\n');
            const std::string_view piece = data.substr(0, end);
            if (!too_long) {
                if (line.size() + piece.size() > kMaxLineBytes) {
                    too_long = true;
                    line.resize(std::min(line.size(), kExcerptBytes));
                    if (line.size() < kExcerptBytes) line.append(piece.substr(0, kExcerptBytes - line.size()));
                } else {
                    line.append(piece);
                }
            }
            pending = true;
            if (end == std::string_view::npos) break;
            collector.line(line, too_long);
            line.clear();
            too_long = false;
            pending = false;
            data.remove_prefix(end + 1);
        }
    }
    if (pending) collector.line(line, too_long);
    return input;
}

}  // namespace gainscan
