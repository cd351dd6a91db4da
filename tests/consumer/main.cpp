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
    std::printf("%s: capacity %u, %lld granule records, p_value %.3g, %s\n", argv[1], report.capacity,
                static_cast<long long>(report.total_records), report.p_value.value_or(1.0),
                report.flagged ? "flagged" : "not flagged");
    return report.flagged ? 1 : 0;
}
