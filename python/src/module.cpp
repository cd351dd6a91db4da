// gainscan's Python binding: the per-file analysis (gainscan::Analysis), its
// report rendered by gainscan-batch's own jsonl printer, the granule records
// as a numpy structured array, and the ordered multi-worker scan. The
// package's __init__.py wraps these in the public functions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "batch/file_reader.h"
#include "batch/hashing_source.h"
#include "batch/printer.h"
#include "python/src/ordered_scan.h"

namespace py = pybind11;

namespace {

// One row of report.records: the columns of `gainscan-batch --dump-records`,
// in its order.
struct RecordRow {
    std::int64_t slot;
    std::int64_t frame_index;
    std::uint64_t frame_offset;
    std::uint8_t granule;
    std::uint8_t channel;
    bool carrier;
    std::uint8_t global_gain;
    std::uint16_t part2_3_length;
    std::uint16_t big_values;
    std::uint8_t block_type;
    std::uint16_t scalefac_compress;
    float log2_energy;
    float band0_log2_energy;
    float band1_log2_energy;
    float band2_log2_energy;
    float band3_log2_energy;
    float band4_log2_energy;
    float band5_log2_energy;
    float band6_log2_energy;
    float band7_log2_energy;
};

// The dump leaves silent spectra and bands empty; numpy gets NaN.
float energy(float log2_energy) {
    return log2_energy <= gainscan::NO_ENERGY ? std::numeric_limits<float>::quiet_NaN() : log2_energy;
}

// Field by field into zeroed rows, so that the padding byte of every row is
// zero too and equal records give equal bytes.
void fill_row(RecordRow& row, const gainscan::GranuleRecord& r) {
    static_assert(gainscan::ENERGY_BANDS == 8, "one column per band");
    row.slot = r.slot;
    row.frame_index = r.frame_index;
    row.frame_offset = r.frame_offset;
    row.granule = r.granule;
    row.channel = r.channel;
    row.carrier = gainscan::is_carrier(r);
    row.global_gain = r.global_gain;
    row.part2_3_length = r.part2_3_length;
    row.big_values = r.big_values;
    row.block_type = r.block_type;
    row.scalefac_compress = r.scalefac_compress;
    row.log2_energy = energy(r.log2_energy);
    float* bands[] = {&row.band0_log2_energy, &row.band1_log2_energy, &row.band2_log2_energy,
                      &row.band3_log2_energy, &row.band4_log2_energy, &row.band5_log2_energy,
                      &row.band6_log2_energy, &row.band7_log2_energy};
    for (std::size_t b = 0; b < gainscan::ENERGY_BANDS; ++b) *bands[b] = energy(r.band_log2_energy[b]);
}

// File names are bytes; Python gets them decoded as os.fsdecode() would.
py::str fs_decode(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

class Report {
public:
    explicit Report(gainscan_python::ScanItem item) : item_(std::move(item)) {}

    const gainscan::FileReport& report() const { return item_.report; }
    const std::string& json() const { return item_.json; }

    py::dict to_dict() const { return py::module_::import("json").attr("loads")(py::str(item_.json)); }

    // Built on first use; the C++ copy is then let go.
    py::object records() {
        if (!array_) {
            py::array_t<RecordRow> array(static_cast<py::ssize_t>(item_.records.size()));
            RecordRow* rows = array.mutable_data();
            std::memset(static_cast<void*>(rows), 0, item_.records.size() * sizeof(RecordRow));
            for (std::size_t i = 0; i < item_.records.size(); ++i) fill_row(rows[i], item_.records[i]);
            std::vector<gainscan::GranuleRecord>().swap(item_.records);
            array_ = std::move(array);
        }
        return *array_;
    }

private:
    gainscan_python::ScanItem item_;
    std::optional<py::object> array_;
};

std::string render(const gainscan::FileReport& report) {
    std::string json;
    render_jsonl(report, json);
    if (!json.empty() && json.back() == '\n') json.pop_back();
    return json;
}

gainscan::AnalysisOptions analysis_options(bool quick, double alpha) {
    return gainscan::AnalysisOptions{.whole_file = !quick, .alpha = alpha};
}

Report finish(std::vector<gainscan::GranuleRecord> records, gainscan::FileReport report) {
    gainscan_python::ScanItem item;
    if (report.ok && report.whole_file) item.records = std::move(records);
    item.json = render(report);
    item.report = std::move(report);
    return Report(std::move(item));
}

Report analyse_named_file(const std::string& path, bool quick, double alpha) {
    gainscan::Analysis analysis(analysis_options(quick, alpha));
    gainscan_python::RecordCollector collector;
    analysis.set_record_sink(&collector);
    gainscan::FileReport report;
    {
        py::gil_scoped_release release;
        // As gainscan-batch reads a file: without touching its access time,
        // its digest taken in the same read.
        report = ::analyse_path(analysis, path, HashChoice{});
    }
    return finish(std::move(collector.records), std::move(report));
}

Report analyse_buffer(const py::buffer& data, const std::string& name, bool quick, double alpha) {
    const py::buffer_info info = data.request();
    if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1)
        throw py::type_error("gainscan.analyse: the data must be a contiguous buffer of bytes");
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(info.ptr),
                                              static_cast<std::size_t>(info.size));
    gainscan::Analysis analysis(analysis_options(quick, alpha));
    gainscan_python::RecordCollector collector;
    analysis.set_record_sink(&collector);
    gainscan::FileReport report;
    {
        py::gil_scoped_release release;
        // Hashed as gainscan-batch hashes standard input.
        gainscan::MemorySource buffer(bytes);
        HashingSource source(buffer, HashChoice{});
        report = analysis.analyse(source, name);
        source.size();  // the digest covers every byte, however far the analysis read
        if (!source.failed()) report.sha256 = source.sha256();
    }
    return finish(std::move(collector.records), std::move(report));
}

using gainscan_python::OrderedScan;

constexpr std::chrono::milliseconds SIGNAL_CHECK_EVERY{100};

}  // namespace

PYBIND11_MODULE(_gainscan, m) {
    m.doc() = "gainscan's native part; use the functions of the gainscan package.";
    PYBIND11_NUMPY_DTYPE(RecordRow, slot, frame_index, frame_offset, granule, channel, carrier, global_gain,
                         part2_3_length, big_values, block_type, scalefac_compress, log2_energy, band0_log2_energy,
                         band1_log2_energy, band2_log2_energy, band3_log2_energy, band4_log2_energy,
                         band5_log2_energy, band6_log2_energy, band7_log2_energy);
    m.attr("DEFAULT_ALPHA") = gainscan::DEFAULT_ALPHA;
    m.attr("RECORD_DTYPE") = py::dtype::of<RecordRow>();

    py::class_<Report>(m, "Report",
                       "The report of one file: the record gainscan-batch prints for it, and its granule records.")
        .def_property_readonly(
            "file", [](const Report& r) { return fs_decode(r.report().file); },
            "The path as given or walked (decoded like os.fsdecode), or the name given with bytes.")
        .def_property_readonly(
            "status", [](const Report& r) { return r.report().ok ? "ok" : "error"; },
            "'ok', or 'error' when the file could not be analysed to the end.")
        .def_property_readonly(
            "ok", [](const Report& r) { return r.report().ok; }, "status == 'ok'.")
        .def_property_readonly(
            "error",
            [](const Report& r) -> std::optional<std::string> {
                if (r.report().ok) return std::nullopt;
                return r.report().error;
            },
            "What went wrong, or None.")
        .def_property_readonly(
            "verdict",
            [](const Report& r) -> std::optional<std::string> {
                if (!r.report().ok) return std::nullopt;
                return r.report().found ? "found" : "none";
            },
            "gainscan's verdict on the first 200 granule records: 'found' or 'none' (None for an error).")
        .def_property_readonly(
            "flagged", [](const Report& r) { return r.report().flagged; },
            "The decision: the whole-file p_value is at most alpha (quick: the verdict is 'found').")
        .def_property_readonly(
            "score",
            [](const Report& r) -> std::optional<double> {
                if (!r.report().ok || !r.report().whole_file) return std::nullopt;
                return r.report().score;
            },
            "The whole-file parity statistic in null-standard units, or None (quick analysis, error, not "
            "measured).")
        .def_property_readonly(
            "p_value",
            [](const Report& r) -> std::optional<double> {
                if (!r.report().ok || !r.report().whole_file) return std::nullopt;
                return r.report().p_value;
            },
            "The false-alarm probability of the whole-file evidence, or None (quick analysis, error, not a "
            "Layer III file, or evidence 'insufficient').")
        .def_property_readonly(
            "whole_file", [](const Report& r) { return r.report().ok && r.report().whole_file; },
            "True when the whole file was analysed (not quick) and its records are kept.")
        .def("to_dict", &Report::to_dict,
             "The record exactly as gainscan-batch --format jsonl prints it, as a dict (same keys, order, values).")
        .def("to_json", &Report::json, "The record as gainscan-batch's jsonl line, without the line end.")
        .def_property_readonly("records", &Report::records,
                               "Every granule record of the file as a numpy structured array (RECORD_DTYPE), "
                               "the columns of gainscan-batch --dump-records; silent energies are NaN. "
                               "Empty for a quick analysis, an error, or a scan with records=False.")
        .def("__repr__", [](const Report& r) {
            const gainscan::FileReport& f = r.report();
            std::string text = "<gainscan.Report " + py::repr(fs_decode(f.file)).cast<std::string>() + " ";
            if (!f.ok) return text + "error " + py::repr(py::str(f.error)).cast<std::string>() + ">";
            text += f.found ? "found" : "none";
            if (f.whole_file)
                text += f.score ? " score=" + py::repr(py::float_(*f.score)).cast<std::string>() : " score=None";
            return text + (f.flagged ? " flagged>" : ">");
        });

    m.def("_analyse_path", &analyse_named_file, py::arg("path"), py::arg("quick"), py::arg("alpha"));
    m.def("_analyse_buffer", &analyse_buffer, py::arg("data"), py::arg("name"), py::arg("quick"),
          py::arg("alpha"));

    py::enum_<OrderedScan::Next>(m, "_Next")
        .value("item", OrderedScan::Next::item)
        .value("need_names", OrderedScan::Next::need_names)
        .value("done", OrderedScan::Next::done)
        .value("waiting", OrderedScan::Next::waiting);

    py::class_<OrderedScan>(m, "_Scanner")
        .def(py::init([](unsigned jobs, bool quick, double alpha, bool follow_symlinks, bool keep_records) {
                 return std::make_unique<OrderedScan>(gainscan_python::OrderedScanOptions{
                     jobs, quick, alpha, follow_symlinks, keep_records});
             }),
             py::arg("jobs"), py::arg("quick"), py::arg("alpha"), py::arg("follow_symlinks"),
             py::arg("keep_records"))
        .def_property_readonly("chunk", &OrderedScan::chunk)
        .def("add", [](OrderedScan& s, const py::bytes& name) { s.add(std::string(name)); })
        .def("close", &OrderedScan::close)
        .def("stop", &OrderedScan::stop, py::call_guard<py::gil_scoped_release>())
        .def("next", [](OrderedScan& s) -> py::tuple {
            gainscan_python::ScanItem item;
            OrderedScan::Next next;
            for (;;) {
                {
                    py::gil_scoped_release release;
                    next = s.next(item, SIGNAL_CHECK_EVERY);
                }
                if (next != OrderedScan::Next::waiting) break;
                // A long file must not keep Ctrl-C from the interpreter.
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            }
            if (next != OrderedScan::Next::item) return py::make_tuple(next, py::none());
            return py::make_tuple(next, Report(std::move(item)));
        });
}
