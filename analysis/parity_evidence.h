// Whole-file evidence of bits written into the parity of global_gain, built
// while the file is decoded: each granule record is reduced, as soon as its
// neighbours are known, to a few bytes (its energy residual against its
// neighbours in time, its gain deviation and its parity), so a file of any
// length costs about 10 bytes per pair of records.
//
// Why it works: the hiding tool changes only the least significant bit of
// global_gain of every second record (the carriers) and leaves the Huffman
// data, which were quantised for the original gain. A changed record decodes
// 2^(1/4) too loud when its gain is now odd and 2^(-1/4) too quiet when it is
// now even: +0.5 or -0.5 in log2 energy against its neighbours. In a clean
// file a record's energy does not follow the parity of its gain (nearly: see
// null_model.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/null_model.h"
#include "gainscan/analysis.h"

namespace gainscan {

inline constexpr std::size_t EVIDENCE_BANDS = 8;
// log2 energy of a band with no energy at all: below anything real.
inline constexpr float SILENT_BAND = -1000.0f;

// What the evidence needs of one granule record.
struct EvidenceRecord {
    // Position in the hiding layout: every granule of every channel of every
    // Layer III frame in decoding order; even positions carry a bit.
    std::int64_t slot;
    std::uint8_t channel;
    std::uint8_t global_gain;
    std::uint16_t part2_3_length;
    std::array<float, EVIDENCE_BANDS> band_log2_energy;
    double seconds;       // where the record's granule starts in the file
    double slot_seconds;  // the granule's duration over its channels: time per position
};

// Carriers a length field's span may claim beyond those the file has: the
// decoder can miss a frame the hiding tool counted (a damaged header, the
// first frames of a stream that starts mid-way).
std::int64_t span_slack(std::int64_t carriers);

// How far the middle of three records sits above the mean of its two
// neighbours in log2 energy: the median over the bands all three have, so
// that a band that changed on its own (a note starting) does not count.
// nullopt when no band is in all three.
std::optional<double> band_residual(const std::array<float, EVIDENCE_BANDS>& before,
                                    const std::array<float, EVIDENCE_BANDS>& middle,
                                    const std::array<float, EVIDENCE_BANDS>& after);

// Residuals are counted in a histogram of HISTOGRAM_BINS steps of 1/unit
// about zero; a value beyond either end counts in the end bin (the median
// and the deviation of the middle half never lie there).
inline constexpr std::int64_t HISTOGRAM_BINS = 4096;
std::size_t histogram_bin(std::int64_t value);  // value in 1/unit steps
struct RobustCentre {
    double median = 0;
    double spread = 1;  // 1.4826 x the median absolute deviation (plus a floor of 1e-3)
};
RobustCentre robust_centre(std::span<const std::uint32_t> histogram, std::uint64_t total, double unit);

enum class EvidenceStatus { measured, insufficient };
enum class InsufficientReason { none, too_few_carriers, silent_span, no_length_field };
const char* reason_text(InsufficientReason reason);  // nullptr for none

// Fewest carriers a file must have for a p_value. The null draws its centre
// and spread from rotations over the whole file, and a file of fewer
// carriers has too few of them: on half A of the evaluation set, files of
// 32 to 47 carriers, every carrier weighed, put 5 of 221 at p <= 0.01.
inline constexpr std::int64_t MIN_FILE_CARRIERS = 48;

// Fewest carriers with a residual in the span. A short span in a file long
// enough for its rotations holds: on half A, the first 14 to 96 carriers of
// 3,842 clean and gain-shifted files weighed alone put 0.4 to 0.8 % at
// p <= 0.01, and none at 0.001 for spans under 32. A one-byte payload (its
// length field and byte: 14 carriers, the first without a neighbour before
// it) is weighed when at most three of its carriers lack spectrum.
inline constexpr std::int64_t MIN_WEIGHED_CARRIERS = 10;

struct PlotData {  // bounded: at most PLOT_POINTS carriers, evenly spread
    std::vector<double> seconds;
    std::vector<double> residual;
    std::vector<std::uint8_t> odd;
    double span_start = 0, span_end = 0;
};
inline constexpr std::size_t PLOT_POINTS = 500;

struct EvidenceResult {
    std::vector<std::uint8_t> bits;  // the carriers' parity bits (a lost carrier reads 0)
    std::int64_t carriers = 0;
    std::optional<LengthField> length_field;  // when nbits is 1..32
    EvidenceStatus status = EvidenceStatus::insufficient;
    InsufficientReason reason = InsufficientReason::too_few_carriers;
    std::optional<double> p_value;  // false-alarm probability (measured only)
    std::optional<double> score;    // the carriers' statistic in null-standard units (measured only)
    std::int64_t weighed = 0;       // carriers with a residual in the span
    std::optional<PlotData> plot;   // when asked for, measured files only
};

class ParityEvidence {
public:
    ParityEvidence();
    ~ParityEvidence();
    ParityEvidence(const ParityEvidence&) = delete;
    ParityEvidence& operator=(const ParityEvidence&) = delete;

    // Records in decoding order.
    void add(const EvidenceRecord& record);
    // Positions counted past the last record (granules the decoder lost at the end).
    void set_positions(std::int64_t positions);
    // Ends the file; `with_plot` adds the plot data to a measured result.
    // `every_carrier` (calibration studies only) weighs all carriers as if a
    // length field claimed them, whatever the bits say.
    EvidenceResult finish(bool with_plot, bool every_carrier = false);

    // Bytes held per pair of records (for the memory bound's arithmetic).
    static std::size_t bytes_per_pair();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace gainscan
