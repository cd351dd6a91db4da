// The README's library example, built against an installed tree.
#include <gainscan/analysis.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    gainscan::Analysis analysis;  // one per thread, reused for many files
    const gainscan::FileReport report = analysis.analyse_file(argv[1]);
    if (!report.ok) {
        std::fprintf(stderr, "%s: %s\n", argv[1], report.error.c_str());
        return 2;
    }
    std::printf("%s: capacity %u, %zu granule records, score %.2f, %s\n", argv[1], report.capacity,
                analysis.records().size(), report.score.value_or(0.0), report.flagged ? "flagged" : "not flagged");
    return report.flagged ? 1 : 0;
}
