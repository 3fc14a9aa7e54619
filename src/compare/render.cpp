#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "compare/compare.h"
#include "measure/result.h"
#include "measure/visible.h"
#include "run/measurements.h"

namespace {

using json = nlohmann::ordered_json;

std::string printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* format, ...)
{
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

// Three significant digits, trailing zeros kept, rounded first (0.9997 is
// 1.00): 1.00, 0.987, 12.3, 457; outside 0.001 to 9999 the exponent form,
// 3.61e-08, so that no value is wider than 9 characters.
std::string three_digits(double value)
{
    if (!std::isfinite(value))
        return "-";
    if (value == 0)
        return "0.00";
    const std::string exponent_form = printed("%.2e", value);
    const int magnitude = atoi(exponent_form.c_str() + exponent_form.find('e') + 1);
    if (magnitude < -3 || magnitude > 3)
        return exponent_form;
    return printed("%.*f", magnitude >= 2 ? 0 : 2 - magnitude, value);
}

// MiB/s to a tenth, or in the exponent form where that would not fit its column.
std::string rate_text(double rate)
{
    if (!std::isfinite(rate))
        return "-";
    return rate < 1e7 ? printed("%.1f", rate) : printed("%.2e", rate);
}

std::string range_text(const Spread& spread)
{
    return spread.n == 0 ? "-" : printed("%.0f-%.0f", spread.min, spread.max);
}

std::string interval_text(const RatioEstimate& estimate)
{
    return estimate.has_interval ? "[" + three_digits(estimate.low) + ", " + three_digits(estimate.high) + "]" : "-";
}

json number(double value)
{
    return std::isfinite(value) ? json(value) : json(nullptr);
}

std::string size_text(uint64_t bytes)
{
    char label[SIZE_LABEL_LEN];
    return format_size(bytes, label);
}

// Text from a run, for a terminal or a Markdown table.
std::string shown(const std::string& text, Format format)
{
    std::string safe = visible(text);
    if (format != Format::Markdown)
        return safe;
    std::string escaped;
    for (char c : safe) {
        if (c == '|' || c == '`' || c == '*' || c == '_' || c == '<' || c == '>' || c == '[' || c == ']')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Text from a run as a CSV cell: quoted where needed, and with a leading
// apostrophe where a spreadsheet would take it for a formula.
std::string csv_field(const std::string& raw)
{
    const bool formula = !raw.empty() && strchr("=+-@\t\r", raw[0]) != nullptr;
    const std::string text = formula ? "'" + raw : raw;
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// The shortest text that reads back as the same double.
std::string csv_number(double value)
{
    if (!std::isfinite(value))
        return "";
    char text[32];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
    return std::string(text, written.ptr);
}

std::string system_of(const RunRecord& r)
{
    return r.machine.system + " " + r.machine.release + " " + r.machine.architecture;
}

std::string trials_of(const RunRecord& r)
{
    return std::to_string(r.trials.size()) + (r.complete ? "" : " of " + std::to_string(r.parameters.trials)) +
           (r.trials.size() == 1 && r.complete ? " trial" : " trials");
}

json run_json(const LoadedRun& run, size_t index)
{
    const RunRecord& r = run.record;
    return json{{"run", index + 1},
                {"file", run.file},
                {"host", r.machine.host_name},
                {"label", r.label.empty() ? json(nullptr) : json(r.label)},
                {"started_at", r.started_at},
                {"system", system_of(r)},
                {"cpu_model", r.machine.cpu_model},
                {"fs_type", r.machine.fs_type},
                {"fs_device", r.machine.fs_device},
                {"file_size_bytes", r.parameters.file_size_bytes},
                {"direct_io", r.parameters.direct_io},
                {"cold", r.parameters.cold},
                {"trials", r.trials.size()},
                {"complete", r.complete}};
}

json spread_json(const Spread& spread)
{
    return json{{"trials", spread.n},
                {"median_mib_per_s", number(spread.median)},
                {"min_mib_per_s", number(spread.min)},
                {"max_mib_per_s", number(spread.max)}};
}

std::string run_header(const std::vector<LoadedRun>& runs, Format format)
{
    std::string out;
    const bool markdown = format == Format::Markdown;
    out += markdown ? "## Runs\n\n| run | file | host | started | system | CPU | file system | file size | I/O | trials |\n"
                      "|---|---|---|---|---|---|---|---|---|---|\n"
                    : "Runs (run 1 is the baseline):\n";
    for (size_t i = 0; i < runs.size(); ++i) {
        const RunRecord& r = runs[i].record;
        const std::string fs = r.machine.fs_type + " on " + r.machine.fs_device;
        const std::string io = std::string(r.parameters.direct_io ? "direct" : "buffered") +
                               (r.parameters.cold ? ", cold" : "");
        if (markdown) {
            out += printed("| %zu%s | ", i + 1, i == 0 ? " (baseline)" : "") + shown(runs[i].file, format) + " | " +
                   shown(r.machine.host_name, format) + (r.label.empty() ? "" : " (" + shown(r.label, format) + ")") +
                   " | " + shown(r.started_at, format) + " | " + shown(system_of(r), format) + " | " +
                   shown(r.machine.cpu_model, format) + " | " + shown(fs, format) + " | " +
                   size_text(r.parameters.file_size_bytes) + " | " + io + " | " + trials_of(r) + " |\n";
            continue;
        }
        out += printed("  %zu  ", i + 1) + shown(runs[i].file, format) + "\n";
        out += "     host " + shown(r.machine.host_name, format) +
               (r.label.empty() ? "" : ", label \"" + shown(r.label, format) + "\"") + ", " +
               shown(r.started_at, format) + ", " + shown(system_of(r), format) + "\n";
        out += "     " + shown(r.machine.cpu_model, format) + "; " + shown(fs, format) + "\n";
        out += "     file " + size_text(r.parameters.file_size_bytes) + ", " + io + ", " + trials_of(r) + "\n";
    }
    return out;
}

std::string warnings_text(const std::vector<std::string>& warnings, Format format)
{
    std::string out;
    for (const std::string& warning : warnings)
        out += (format == Format::Markdown ? "- **Warning:** " : "Warning: ") + shown(warning, format) + "\n";
    return out;
}

} // namespace

std::string render_comparison(const std::vector<LoadedRun>& runs, Format format)
{
    const std::vector<Comparison> comparisons = compare_runs(runs);
    const std::vector<std::string> warnings = comparability_warnings(runs);

    if (format == Format::Json) {
        json document;
        document["program"] = "ovrel-compare";
        document["mode"] = "compare";
        json list = json::array();
        for (size_t i = 0; i < runs.size(); ++i)
            list.push_back(run_json(runs[i], i));
        document["runs"] = list;
        document["warnings"] = warnings;
        json all = json::array();
        for (const Comparison& comparison : comparisons) {
            json rows = json::array();
            for (const ComparisonRow& row : comparison.rows)
                rows.push_back({{"id", row.id},
                                {"baseline", spread_json(row.base)},
                                {"other", spread_json(row.other)},
                                {"ratio", number(row.estimate.ratio)},
                                {"ci95_low", number(row.estimate.low)},
                                {"ci95_high", number(row.estimate.high)},
                                {"degrees_of_freedom", number(row.estimate.degrees_of_freedom)},
                                {"verdict", verdict_text(row.verdict)}});
            all.push_back({{"run", comparison.run + 1}, {"baseline", 1}, {"measurements", rows}});
        }
        document["comparisons"] = all;
        return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    }

    if (format == Format::Csv) {
        std::string out = "run,file,host,measurement,baseline_median_mib_per_s,baseline_min_mib_per_s,"
                          "baseline_max_mib_per_s,baseline_trials,median_mib_per_s,min_mib_per_s,max_mib_per_s,"
                          "trials,ratio,ci95_low,ci95_high,verdict\n";
        for (const Comparison& comparison : comparisons) {
            const LoadedRun& run = runs[comparison.run];
            for (const ComparisonRow& row : comparison.rows)
                out += std::to_string(comparison.run + 1) + "," + csv_field(run.file) + "," +
                       csv_field(run.record.machine.host_name) + "," + row.id + "," + csv_number(row.base.median) +
                       "," + csv_number(row.base.min) + "," + csv_number(row.base.max) + "," +
                       std::to_string(row.base.n) + "," + csv_number(row.other.median) + "," +
                       csv_number(row.other.min) + "," + csv_number(row.other.max) + "," +
                       std::to_string(row.other.n) + "," + csv_number(row.estimate.ratio) + "," +
                       csv_number(row.estimate.low) + "," + csv_number(row.estimate.high) + "," +
                       csv_field(verdict_text(row.verdict)) + "\n";
        }
        return out;
    }

    const bool markdown = format == Format::Markdown;
    std::string out = run_header(runs, format);
    if (!warnings.empty())
        out += "\n" + warnings_text(warnings, format);
    for (const Comparison& comparison : comparisons) {
        const std::string other = "run " + std::to_string(comparison.run + 1);
        if (markdown) {
            out += "\n## " + other + " against run 1\n\n| measurement | baseline MiB/s | min-max | n | " + other +
                   " MiB/s | ratio | 95% interval | verdict |\n|---|--:|--:|--:|--:|--:|--:|---|\n";
        } else {
            out += "\n" + other + " against run 1 (ratio of geometric means, Welch's 95% interval)\n";
            out += printed("%-8s %10s %15s %2s %10s %6s %15s  %s\n", "", "baseline", "min-max", "n",
                           (other).c_str(), "ratio", "95% interval", "verdict");
        }
        for (const ComparisonRow& row : comparison.rows) {
            const std::string ratio = row.estimate.has_ratio ? three_digits(row.estimate.ratio) : "-";
            if (markdown)
                out += "| " + row.id + " | " + rate_text(row.base.median) + " | " + range_text(row.base) + " | " +
                       std::to_string(row.base.n) + " | " + rate_text(row.other.median) + " | " + ratio + " | " +
                       interval_text(row.estimate) + " | " + verdict_text(row.verdict) + " |\n";
            else
                out += printed("%-8s %10s %15s %2zu %10s %6s %15s  %s\n", row.id.c_str(),
                               rate_text(row.base.median).c_str(), range_text(row.base).c_str(), row.base.n,
                               rate_text(row.other.median).c_str(), ratio.c_str(),
                               interval_text(row.estimate).c_str(), verdict_text(row.verdict));
        }
    }
    return out;
}

std::string render_fleet(const std::vector<LoadedRun>& runs, const Fleet& fleet, Format format)
{
    if (format == Format::Json) {
        json document;
        document["program"] = "ovrel-compare";
        document["mode"] = "fleet";
        document["hosts"] = fleet.hosts.size();
        document["runs"] = runs.size();
        document["outliers_judged"] = fleet.judged;
        json measurements = json::array();
        for (const FleetMeasurement& m : fleet.measurements)
            measurements.push_back({{"id", m.id},
                                    {"median_mib_per_s", number(m.median)},
                                    {"mad_mib_per_s", number(m.mad)},
                                    {"hosts", m.hosts}});
        document["measurements"] = measurements;
        json outliers = json::array();
        json matrix = json::array();
        for (const FleetHost& host : fleet.hosts) {
            json cells = json::array();
            for (size_t m = 0; m < fleet.measurements.size(); ++m) {
                const HostCell& cell = host.cells[m];
                const char* flag = cell.flag < 0 ? "slow" : cell.flag > 0 ? "fast" : nullptr;
                cells.push_back({{"id", fleet.measurements[m].id},
                                 {"median_mib_per_s", number(cell.spread.median)},
                                 {"trials", cell.spread.n},
                                 {"z", number(cell.z)},
                                 {"flag", flag != nullptr ? json(flag) : json(nullptr)}});
                if (flag != nullptr)
                    outliers.push_back({{"host", host.host},
                                        {"id", fleet.measurements[m].id},
                                        {"median_mib_per_s", number(cell.spread.median)},
                                        {"z", number(cell.z)},
                                        {"flag", flag}});
            }
            matrix.push_back({{"host", host.host}, {"runs", host.runs}, {"measurements", cells}});
        }
        document["outliers"] = outliers;
        document["matrix"] = matrix;
        return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    }

    if (format == Format::Csv) {
        std::string out = "host,runs,measurement,median_mib_per_s,trials,z,flag,fleet_median_mib_per_s,fleet_mad_mib_per_s\n";
        for (const FleetHost& host : fleet.hosts)
            for (size_t m = 0; m < fleet.measurements.size(); ++m) {
                const HostCell& cell = host.cells[m];
                out += csv_field(host.host) + "," + std::to_string(host.runs) + "," + fleet.measurements[m].id + "," +
                       csv_number(cell.spread.median) + "," + std::to_string(cell.spread.n) + "," +
                       csv_number(cell.z) + "," + (cell.flag < 0 ? "slow" : cell.flag > 0 ? "fast" : "") + "," +
                       csv_number(fleet.measurements[m].median) + "," + csv_number(fleet.measurements[m].mad) + "\n";
            }
        return out;
    }

    const bool markdown = format == Format::Markdown;
    std::string out = printed("%sFleet: %zu host%s, %zu run%s.\n\n", markdown ? "## " : "", fleet.hosts.size(),
                              fleet.hosts.size() == 1 ? "" : "s", runs.size(), runs.size() == 1 ? "" : "s");
    if (!fleet.judged) {
        out += printed("Too few hosts to judge outliers (%zu or more needed).\n", FLEET_MIN_HOSTS);
    } else {
        std::string flagged;
        for (size_t m = 0; m < fleet.measurements.size(); ++m)
            for (const FleetHost& host : fleet.hosts) {
                const HostCell& cell = host.cells[m];
                if (cell.flag == 0)
                    continue;
                const char* flag = cell.flag < 0 ? "slow" : "fast";
                const std::string& id = fleet.measurements[m].id;
                if (markdown)
                    flagged += "| " + id + " | " + shown(host.host, format) + " | " + rate_text(cell.spread.median) +
                               " | " + rate_text(fleet.measurements[m].median) + " | " + printed("%.2f", cell.z) +
                               " | " + flag + " |\n";
                else
                    flagged += printed("  %-8s %-24s %10s MiB/s  fleet %10s  z = %6.2f  %s\n", id.c_str(),
                                       shown(host.host, format).c_str(), rate_text(cell.spread.median).c_str(),
                                       rate_text(fleet.measurements[m].median).c_str(), cell.z, flag);
            }
        out += printed("Outliers (|z| > %.1f, robust z against the fleet's median and MAD):\n", OUTLIER_Z);
        if (flagged.empty())
            out += "  none\n";
        else if (markdown)
            out += "\n| measurement | host | median MiB/s | fleet median | z | |\n|---|---|--:|--:|--:|---|\n" + flagged;
        else
            out += flagged;
    }

    // The matrix in two panels, memory and disk, so that it fits a terminal.
    size_t host_width = 12;
    for (const FleetHost& host : fleet.hosts)
        host_width = std::max(host_width, std::min<size_t>(24, shown(host.host, format).size()));
    for (int panel = 0; panel < 2; ++panel) {
        std::vector<size_t> columns;
        for (size_t m = 0; m < fleet.measurements.size(); ++m) {
            const int index = measurement_index(fleet.measurements[m].id.c_str());
            const bool memory = index >= 0 && measurement_phase(MEASUREMENTS[index]) == PHASE_MEMORY;
            if (memory == (panel == 0))
                columns.push_back(m);
        }
        if (columns.empty())
            continue;
        out += printed("\n%s median MiB/s of each host (* marks an outlier):\n\n", panel == 0 ? "Memory," : "Disk,");
        if (markdown) {
            out += "| host |";
            for (size_t m : columns)
                out += " " + fleet.measurements[m].id + " |";
            out += "\n|---|";
            for (size_t i = 0; i < columns.size(); ++i)
                out += "--:|";
            out += "\n";
        } else {
            out += printed("%-*s", static_cast<int>(host_width), "host");
            for (size_t m : columns)
                out += printed(" %9s", fleet.measurements[m].id.c_str());
            out += "\n";
        }
        for (const FleetHost& host : fleet.hosts) {
            const std::string name = shown(host.host, format);
            out += markdown ? "| " + name + " |" : printed("%-*s", static_cast<int>(host_width), name.c_str());
            for (size_t m : columns) {
                const HostCell& cell = host.cells[m];
                const std::string value =
                    (std::isfinite(cell.spread.median) ? printed("%.0f", cell.spread.median) : "-") +
                    (cell.flag != 0 ? "*" : "");
                out += markdown ? " " + value + " |" : printed(" %9s", value.c_str());
            }
            out += "\n";
        }
    }
    return out;
}
