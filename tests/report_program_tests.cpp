// gainscan-report as a user runs it: what it writes, where, and its exit
// status and message when it cannot.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class Program : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("gainscan_report_program_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // `arguments` is shell text; `input` goes to standard input.
    Outcome run(const std::string& arguments, const std::string& input = "") {
        const fs::path in = dir_ / "stdin", out = dir_ / "stdout", err = dir_ / "stderr";
        std::ofstream(in, std::ios::binary) << input;
        const std::string command = quote(GAINSCAN_REPORT_BINARY) + " " + arguments + " <" + quote(in) + " >" +
                                    quote(out) + " 2>" + quote(err);
        const int raw = std::system(command.c_str());
        Outcome r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    std::string sample() const { return quote(std::string(GAINSCAN_REPORT_DATA) + "/sample.jsonl"); }

    fs::path dir_;
};

TEST_F(Program, WritesTheReportAndSaysNothing) {
    const fs::path html = dir_ / "scan.html";
    const Outcome r = run(sample() + " -o " + quote(html));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    const std::string page = slurp(html);
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.find("13 of 13 files shown"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "scan.html.partial"));
}

TEST_F(Program, ReadsStandardInputAndWritesStandardOutput) {
    const Outcome r = run("- -o -", slurp(std::string(GAINSCAN_REPORT_DATA) + "/sample.jsonl"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("13 of 13 files shown"), std::string::npos);
    EXPECT_NE(r.out.find("standard input"), std::string::npos);
}

TEST_F(Program, BadLinesAreCountedOnStandardErrorButDoNotFail) {
    const fs::path html = dir_ / "damaged.html";
    const Outcome r = run(quote(std::string(GAINSCAN_REPORT_DATA) + "/damaged.jsonl") + " -o " + quote(html));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("6 lines could not be used"), std::string::npos) << r.err;
    EXPECT_NE(slurp(html).find("6 lines of the report could not be used"), std::string::npos);
}

TEST_F(Program, AnEmptyReportIsWrittenWithAWarning) {
    const Outcome r = run("- -o -", "");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("is empty"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("0 of 0 files shown"), std::string::npos);
}

struct FailureCase {
    const char* what;
    std::string arguments;  // "@" stands for the scratch directory
    std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.what; }

class ProgramFailure : public Program, public testing::WithParamInterface<FailureCase> {};

TEST_P(ProgramFailure, ExitsTwoWithAClearMessageAndLeavesNoFile) {
    const auto in_scratch = [this](std::string text) {
        for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@'))
            text.replace(at, 1, dir_.string());
        return text;
    };
    const Outcome r = run(in_scratch(GetParam().arguments));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("gainscan-report: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(in_scratch(GetParam().message)), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.html"));
    EXPECT_FALSE(fs::exists(dir_ / "out.html.partial"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramFailure,
    testing::Values(FailureCase{"no_arguments", "", "no report given"},
                    FailureCase{"no_output", std::string(GAINSCAN_REPORT_DATA) + "/sample.jsonl", "no output given"},
                    FailureCase{"unknown_option", "--colour -o @/out.html -", "--colour"},
                    FailureCase{"missing_input", "@/missing.jsonl -o @/out.html", "cannot read @/missing.jsonl"},
                    FailureCase{"input_is_a_directory", "@ -o @/out.html", "is a directory"},
                    FailureCase{"output_directory_missing",
                                std::string(GAINSCAN_REPORT_DATA) + "/sample.jsonl -o @/no/such/dir/out.html",
                                "cannot write"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.what); });

}  // namespace
