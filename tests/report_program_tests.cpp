// gainscan-report as a user runs it: what it writes, where, and its exit
// status and message when it cannot.
#include "batch_support.h"

namespace {

using namespace batch_test;

struct RunCase {
    const char* what;
    std::string arguments;  // "@" stands for the scratch directory, "%" for the sample reports' directory
    std::string input;      // a file of the sample reports' directory, for standard input; empty: none
    int status;
    std::string message;    // a part of standard error; empty: it stays empty
    std::vector<std::string> page;  // parts of the page, in @/out.html or on standard output
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.what; }

class ProgramRun : public testing::TestWithParam<RunCase> {};

// Success: the page is complete and the message says what the input lacked.
// Failure: exit status 2, a message naming the program, and no file, whole or partial.
TEST_P(ProgramRun, WritesThePageOrFailsWithAClearMessageAndNoFile) {
    const fs::path dir = fresh_dir("report_program");
    const auto expand = [&dir](std::string text) {
        for (std::size_t at; (at = text.find_first_of("@%")) != std::string::npos;)
            text.replace(at, 1, text[at] == '@' ? dir.string() : std::string(GAINSCAN_REPORT_DATA));
        return text;
    };
    const RunCase& c = GetParam();
    const Outcome r = run("'" GAINSCAN_REPORT_BINARY "' " + expand(c.arguments) + " <" +
                          quote(c.input.empty() ? "/dev/null" : expand("%/" + c.input)));
    EXPECT_EQ(r.status, c.status);
    if (c.message.empty()) { EXPECT_EQ(r.err, ""); }
    EXPECT_NE(r.err.find(expand(c.message)), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.html.partial"));
    if (c.status != 0) {
        EXPECT_EQ(r.err.rfind("gainscan-report: ", 0), 0u) << r.err;
        EXPECT_FALSE(fs::exists(dir / "out.html"));
        return;
    }
    const bool to_file = c.arguments.find("-o -") == std::string::npos;
    if (to_file) { EXPECT_EQ(r.out, ""); }
    const std::string page = to_file ? slurp(dir / "out.html") : r.out;
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.find("</html>"), std::string::npos);
    for (const auto& part : c.page) EXPECT_NE(page.find(part), std::string::npos) << part;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramRun,
    testing::Values(
        RunCase{"writes_the_file_quietly", "%/sample.jsonl -o @/out.html", "", 0, "", {"13 of 13 files shown"}},
        RunCase{"standard_input_to_standard_output", "- -o -", "sample.jsonl", 0, "",
                {"13 of 13 files shown", "standard input"}},
        RunCase{"bad_lines_counted_but_not_fatal", "%/damaged.jsonl -o @/out.html", "", 0,
                "6 lines could not be used", {"6 lines of the report could not be used"}},
        RunCase{"empty_report_with_a_warning", "- -o -", "", 0, "is empty", {"0 of 0 files shown"}},
        RunCase{"no_arguments", "", "", 2, "no report given", {}},
        RunCase{"no_output", "%/sample.jsonl", "", 2, "no output given", {}},
        RunCase{"unknown_option", "--colour -o @/out.html -", "", 2, "--colour", {}},
        RunCase{"missing_input", "@/missing.jsonl -o @/out.html", "", 2, "cannot read @/missing.jsonl", {}},
        RunCase{"input_is_a_directory", "@ -o @/out.html", "", 2, "is a directory", {}},
        RunCase{"output_directory_missing", "%/sample.jsonl -o @/no/such/dir/out.html", "", 2, "cannot write", {}}),
    [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.what); });

}  // namespace
