#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "compare/compare.h"
#include "measure/result.h"
#include "measure/visible.h"
#include "run/measurements.h"

namespace {

using json = nlohmann::ordered_json;

// Hands what is made so far to the sink.
void emit(FILE* sink, std::string* out)
{
    fwrite(out->data(), 1, out->size(), sink);
    out->clear();
}

// What `write` writes, as a string.
template <typename Write>
std::string captured(Write write)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* sink = open_memstream(&buffer, &size);
    if (sink == nullptr)
        return "";
    write(sink);
    fclose(sink);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

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

std::string interval_text(const RatioEstimate& estimate)
{
    return estimate.has_interval ? "[" + three_digits(estimate.low) + ", " + three_digits(estimate.high) + "]" : "-";
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

// Text from a run as a CSV cell: control characters escaped as the text
// report shows them, quoted where needed, and with a leading apostrophe
// where a spreadsheet would take it for a formula.
std::string csv_field(const std::string& given)
{
    const std::string raw = visible(given);
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

namespace {

// JSON written as text as it goes: a document for 10,000 runs holds
// 120,000 rows, far too many for a tree of objects.
std::string json_text(const std::string& text)
{
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string json_number(double value)
{
    return std::isfinite(value) ? csv_number(value) : "null";
}

std::string json_list(const std::vector<std::string>& texts)
{
    std::string out = "[";
    for (size_t i = 0; i < texts.size(); ++i)
        out += (i == 0 ? "" : ", ") + json_text(texts[i]);
    return out + "]";
}

std::string side_json(const SideFigures& side)
{
    return "{\"units\": " + std::to_string(side.units.n) + ", \"trials\": " + std::to_string(side.trials) +
           ", \"left_out\": " + std::to_string(side.left_out) + ", \"disturbed\": " + json_list(disturbed_names(side.reasons)) +
           ", \"geometric_mean_mib_per_s\": " + json_number(side.units.geometric_mean) +
           ", \"median_mib_per_s\": " + json_number(side.units.median) +
           ", \"min_mib_per_s\": " + json_number(side.units.min) +
           ", \"max_mib_per_s\": " + json_number(side.units.max) + "}";
}

std::string percent_text(double share)
{
    return printed("%.4g%%", 100 * share);
}

// "write", "write and read", "write, read and seek"
std::string listed(const std::vector<std::string>& words)
{
    std::string out;
    for (size_t i = 0; i < words.size(); ++i)
        out += (i == 0 ? "" : i + 1 == words.size() ? " and " : ", ") + words[i];
    return out;
}

// "read 3.19x faster [1.55, 6.58]", a slower one as its inverse: "2.10x slower".
std::string difference_text(const ComparisonRow& row)
{
    const RatioEstimate& e = row.estimate;
    if (row.verdict == Verdict::Faster)
        return row.id + " " + three_digits(e.ratio) + "x faster [" + three_digits(e.low) + ", " +
               three_digits(e.high) + "]";
    return row.id + " " + three_digits(1 / e.ratio) + "x slower [" + three_digits(1 / e.high) + ", " +
           three_digits(1 / e.low) + "]";
}

// The words of `text`, split at its spaces.
std::vector<std::string> words_of(const std::string& text)
{
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

// Pieces joined by spaces and folded between them to at most 100 columns,
// the rest indented by four.
std::string folded(const std::vector<std::string>& pieces)
{
    std::string out;
    std::string current;
    for (const std::string& piece : pieces) {
        if (!current.empty() && current.size() > 4 && current.size() + 1 + piece.size() > 100) {
            out += current + "\n";
            current = "   ";
        }
        current += (current.empty() ? "" : " ") + piece;
    }
    return out + current + "\n";
}

// One line that says what a comparison found, folded before 100 columns.
std::string summary_line(const std::string& other, const std::string& base, const Comparison& comparison)
{
    std::vector<std::string> parts;
    std::vector<std::pair<std::string, std::vector<std::string>>> rest;
    for (const ComparisonRow& row : comparison.rows) {
        if (row.verdict == Verdict::Faster || row.verdict == Verdict::Slower) {
            parts.push_back(difference_text(row));
            continue;
        }
        const std::string verdict = verdict_text(row);
        auto found = std::find_if(rest.begin(), rest.end(), [&](const auto& entry) { return entry.first == verdict; });
        if (found == rest.end())
            rest.push_back({verdict, {row.id}});
        else
            found->second.push_back(row.id);
    }
    for (const auto& [verdict, ids] : rest)
        parts.push_back(listed(ids) + ": " + verdict);
    // Folded between the parts, never inside one where that can be helped.
    std::vector<std::string> pieces = words_of(other + " against " + base + ":");
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string part = parts[i] + (i + 1 < parts.size() ? "," : "");
        if (part.size() < 60) {
            pieces.push_back(part);
            continue;
        }
        const std::vector<std::string> words = words_of(part);
        pieces.insert(pieces.end(), words.begin(), words.end());
    }
    return folded(pieces);
}

// The side's runs by number: "1, 2".
std::string members_of(const Side& side)
{
    std::string members;
    for (size_t r : side.runs)
        members += (members.empty() ? "" : ", ") + std::to_string(r + 1);
    return members;
}

std::string side_name(const Side& side, Format format)
{
    return shown(side.name, format);
}

// What the intervals of a comparison cover, and why no verdict can be made
// where none can.
std::string method_note(const Comparison& comparison)
{
    std::string out;
    if (comparison.family > 1)
        out += "Holm's method over the " + std::to_string(comparison.family) +
               " measurements: each interval at the level of its step (" +
               percent_text(1 - 0.05 / static_cast<double>(comparison.family)) + " first)";
    else
        out += "Intervals at 95%";
    const double smallest = comparison.claim.smallest_difference;
    out += smallest > 0 ? printed(";\ndifferences under %.0f%% are not reported.\n", 100 * smallest) : ".\n";
    out += comparison.claim.note;
    if (!comparison.claim.refusal.empty())
        out += "No verdict: " + comparison.claim.refusal + ".\n";
    return out;
}

std::string row_notes(const Comparison& comparison, const std::vector<Side>& sides, Format format)
{
    std::string out;
    for (const ComparisonRow& row : comparison.rows)
        for (int which = 0; which < 2; ++which) {
            const SideFigures& figures = which == 0 ? row.base : row.other;
            if (figures.left_out == 0)
                continue;
            const Side& side = sides[which == 0 ? 0 : comparison.side];
            out += printed("  %s: %zu of %zu trials of ", row.id.c_str(), figures.left_out,
                           figures.left_out + figures.trials) +
                   side_name(side, format) + " disturbed (" + disturbed_reasons_text(figures.reasons) +
                   "), left out\n";
        }
    return out;
}

// Large-array figures whose first sweep took most of the time measured
// mostly the bringing in of fresh pages: each such side says so, with the
// rate of the sweeps after the first beside it.
std::string first_touch_notes(const std::vector<LoadedRun>& runs, const Comparison& comparison,
                              const std::vector<Side>& sides, Format format)
{
    std::string out;
    for (const ComparisonRow& row : comparison.rows)
        for (int which = 0; which < 2; ++which) {
            const Side& side = sides[which == 0 ? 0 : comparison.side];
            for (size_t r : side.runs) {
                const FirstTouch touch = first_touch(runs[r].record, row.id);
                if (!touch.timed || touch.share <= FIRST_TOUCH_SHARE)
                    continue;
                out += printed("  %s: the first sweep of ", row.id.c_str()) + side_name(side, format) +
                       (side.runs.size() > 1 ? printed(" (run %zu)", r + 1) : std::string()) +
                       printed(", bringing the fresh pages in, took %.0f%% of the time; the later sweeps stored at "
                               "%s MiB/s\n",
                               100.0 * touch.share, rate_text(touch.later_mib_per_s).c_str());
            }
        }
    return out;
}

// Where the witness left too little to judge: which measurements, why, and
// what would give a verdict.
std::string too_little_left(const Comparison& comparison)
{
    std::vector<std::string> ids;
    unsigned reasons = 0;
    for (const ComparisonRow& row : comparison.rows)
        if (row.verdict == Verdict::Disturbed ||
            (row.verdict == Verdict::NoInterval && row.base.left_out + row.other.left_out > 0)) {
            ids.push_back(row.id);
            reasons |= row.base.reasons | row.other.reasons;
        }
    if (ids.empty())
        return "";
    return "Too little left to judge " + listed(ids) + " (" + disturbed_reasons_text(reasons) +
           "): rerun on a quiet machine, or with more trials (--trials) or more runs a side (--group).";
}

// Intervals wider than +-10%: more trials (or runs) would narrow them.
std::string wide_intervals(const Comparison& comparison)
{
    std::vector<std::string> wide;
    for (const ComparisonRow& row : comparison.rows)
        if (row.estimate.has_interval && (row.estimate.high / row.estimate.ratio > 1.1 ||
                                          row.estimate.ratio / row.estimate.low > 1.1))
            wide.push_back(row.id);
    return listed(wide);
}

} // namespace

void write_comparison(FILE* sink, const std::vector<LoadedRun>& runs, Format format, const CompareOptions& options)
{
    const std::vector<Side> sides = sides_of(runs, options.group);
    std::vector<std::string> warnings = comparability_warnings(runs);
    const std::vector<std::string> spread = spread_warnings(runs);
    warnings.insert(warnings.end(), spread.begin(), spread.end());
    if (sides.size() < 2)
        warnings.push_back("every run is on one side (--group): there is nothing to compare it with");

    if (format == Format::Json) {
        std::string out = "{\n  \"program\": \"ovrel-compare\",\n  \"mode\": \"compare\",\n  \"runs\": [";
        for (size_t i = 0; i < runs.size(); ++i) {
            json run = run_json(runs[i], i);
            out += std::string(i == 0 ? "\n" : ",\n") + "    " +
                   run.dump(-1, ' ', false, json::error_handler_t::replace);
        }
        out += "\n  ],\n  \"sides\": [";
        for (size_t s = 0; s < sides.size(); ++s) {
            out += std::string(s == 0 ? "\n" : ",\n") + "    {\"side\": " + std::to_string(s + 1) +
                   ", \"name\": " + json_text(sides[s].name) + ", \"runs\": [" + members_of(sides[s]) + "]}";
        }
        out += "\n  ],\n  \"warnings\": " + json_list(warnings) + ",\n  \"comparisons\": [";
        for (size_t c = 0; c + 1 < sides.size(); ++c) {
            emit(sink, &out);
            const Comparison comparison = compare_side(runs, sides, c + 1, options);
            const Side& side = sides[comparison.side];
            out += std::string(c == 0 ? "\n" : ",\n") + "    {\"run\": " + std::to_string(side.runs[0] + 1) +
                   ", \"side\": " + std::to_string(comparison.side + 1) + ", \"baseline\": 1, \"runs_as_unit\": " +
                   (comparison.runs_as_unit ? "true" : "false") + ", \"family\": " +
                   std::to_string(comparison.family) + ", \"smallest_difference\": " +
                   json_number(comparison.claim.smallest_difference) +
                   ",\n     \"summary\": " +
                   json_text(summary_line(side.name, sides[0].name, comparison)) +
                   ",\n     \"measurements\": [";
            for (size_t i = 0; i < comparison.rows.size(); ++i) {
                const ComparisonRow& row = comparison.rows[i];
                out += std::string(i == 0 ? "\n" : ",\n") + "      {\"id\": \"" + row.id +
                       "\", \"baseline\": " + side_json(row.base) + ", \"other\": " + side_json(row.other) +
                       ", \"ratio\": " + json_number(row.estimate.ratio) +
                       ", \"ci_low\": " + json_number(row.estimate.low) +
                       ", \"ci_high\": " + json_number(row.estimate.high) +
                       ", \"ci_level\": " + json_number(row.level) +
                       ", \"degrees_of_freedom\": " + json_number(row.estimate.degrees_of_freedom) +
                       ", \"p_value\": " + json_number(row.estimate.p_value) +
                       ", \"verdict\": " + json_text(verdict_text(row)) + "}";
            }
            out += "\n    ]}";
        }
        out += "\n  ]\n}\n";
        emit(sink, &out);
        return;
    }

    if (format == Format::Csv) {
        std::string out = "run,side,file,host,measurement,baseline_geomean_mib_per_s,baseline_min_mib_per_s,"
                          "baseline_max_mib_per_s,baseline_units,baseline_left_out,geomean_mib_per_s,min_mib_per_s,"
                          "max_mib_per_s,units,left_out,ratio,ci_low,ci_high,ci_level,p_value,verdict\n";
        for (size_t s = 1; s < sides.size(); ++s) {
            emit(sink, &out);
            const Comparison comparison = compare_side(runs, sides, s, options);
            const LoadedRun& run = runs[sides[comparison.side].runs[0]];
            for (const ComparisonRow& row : comparison.rows)
                out += std::to_string(sides[comparison.side].runs[0] + 1) + "," +
                       std::to_string(comparison.side + 1) + "," + csv_field(run.file) + "," +
                       csv_field(run.record.machine.host_name) + "," + row.id + "," +
                       csv_number(row.base.units.geometric_mean) + "," + csv_number(row.base.units.min) + "," +
                       csv_number(row.base.units.max) + "," + std::to_string(row.base.units.n) + "," +
                       std::to_string(row.base.left_out) + "," + csv_number(row.other.units.geometric_mean) + "," +
                       csv_number(row.other.units.min) + "," + csv_number(row.other.units.max) + "," +
                       std::to_string(row.other.units.n) + "," + std::to_string(row.other.left_out) + "," +
                       csv_number(row.estimate.ratio) + "," + csv_number(row.estimate.low) + "," +
                       csv_number(row.estimate.high) + "," + csv_number(row.level) + "," +
                       csv_number(row.estimate.p_value) + "," + csv_field(verdict_text(row)) + "\n";
        }
        emit(sink, &out);
        return;
    }

    const std::vector<Comparison> comparisons = compare_runs(runs, sides, options);
    const bool markdown = format == Format::Markdown;
    std::string out = run_header(runs, format);
    if (options.group) {
        out += markdown ? "\n## Sides\n\n" : "\nSides (side 1 is the baseline):\n";
        for (size_t s = 0; s < sides.size(); ++s) {
            out += printed(markdown ? "- side %zu, " : "  %zu  ", s + 1) + side_name(sides[s], format) +
                   (sides[s].runs.size() == 1 ? ": run " : ": runs ") + members_of(sides[s]) + "\n";
        }
    }
    if (!warnings.empty())
        out += "\n" + warnings_text(warnings, format);
    if (!comparisons.empty()) {
        out += markdown ? "\n## Summary\n\n" : "\n";
        for (const Comparison& comparison : comparisons)
            out += (markdown ? "- " : "") + summary_line(side_name(sides[comparison.side], format),
                                                         side_name(sides[0], format), comparison);
    }
    size_t verdicts = 0;
    for (const Comparison& comparison : comparisons) {
        const std::string other = side_name(sides[comparison.side], format);
        const std::string base = side_name(sides[0], format);
        const std::string unit = comparison.runs_as_unit ? "runs" : "trials";
        verdicts += comparison.family;
        if (markdown) {
            out += "\n## " + other + " against " + base + "\n\n" + method_note(comparison) +
                   "\n| measurement | " + base + " MiB/s | " + unit + " | " + other + " MiB/s | " + unit +
                   " | ratio | interval | verdict |\n|---|--:|--:|--:|--:|--:|--:|---|\n";
        } else {
            out += "\n" + other + " against " + base + " (geometric means; " + unit + " a side)\n" +
                   method_note(comparison);
            out += printed("%-8s %10s %3s %10s %3s %9s %20s  %s\n", "", "baseline", "n", "other", "n", "ratio",
                           "interval", "verdict");
        }
        for (const ComparisonRow& row : comparison.rows) {
            const std::string ratio = row.estimate.has_ratio ? three_digits(row.estimate.ratio) : "-";
            if (markdown)
                out += "| " + row.id + " | " + rate_text(row.base.units.geometric_mean) + " | " +
                       std::to_string(row.base.units.n) + " | " + rate_text(row.other.units.geometric_mean) + " | " +
                       std::to_string(row.other.units.n) + " | " + ratio + " | " + interval_text(row.estimate) +
                       " | " + verdict_text(row) + " |\n";
            else
                out += printed("%-8s %10s %3zu %10s %3zu %9s %20s  %s\n", row.id.c_str(),
                               rate_text(row.base.units.geometric_mean).c_str(), row.base.units.n,
                               rate_text(row.other.units.geometric_mean).c_str(), row.other.units.n, ratio.c_str(),
                               interval_text(row.estimate).c_str(), verdict_text(row).c_str());
        }
        // In Markdown a line right after a table would be read as its row.
        const std::string notes = row_notes(comparison, sides, format) + first_touch_notes(runs, comparison, sides, format);
        out += (markdown && !notes.empty() ? "\n" : "") + notes;
        const std::string advice = too_little_left(comparison);
        if (!advice.empty())
            out += (markdown ? "\n" : "") + folded(words_of(advice));
        const std::string wide = wide_intervals(comparison);
        if (!wide.empty())
            out += (markdown ? "\n" : "") +
                   folded(words_of("Too few " + unit + " for an interval within 10%: " + wide + "."));
    }
    out += verdicts_promise(comparisons);
    emit(sink, &out);
}

std::string render_comparison(const std::vector<LoadedRun>& runs, Format format, const CompareOptions& options)
{
    return captured([&](FILE* sink) { write_comparison(sink, runs, format, options); });
}

void write_fleet(FILE* sink, const std::vector<LoadedRun>& runs, const Fleet& fleet, Format format, bool by_label)
{
    const std::vector<std::string> warnings = fleet_warnings(runs, by_label, &fleet);
    if (format == Format::Json) {
        std::string out = "{\n  \"program\": \"ovrel-compare\",\n  \"mode\": \"fleet\",\n  \"hosts\": " +
                          std::to_string(fleet.hosts.size()) + ",\n  \"runs\": " + std::to_string(runs.size()) +
                          ",\n  \"outliers_judged\": " + (fleet.judged ? "true" : "false") +
                          ",\n  \"warnings\": " + json_list(warnings) + ",\n  \"measurements\": [";
        for (size_t m = 0; m < fleet.measurements.size(); ++m) {
            const FleetMeasurement& fm = fleet.measurements[m];
            out += std::string(m == 0 ? "\n" : ",\n") + "    {\"id\": \"" + fm.id +
                   "\", \"median_mib_per_s\": " + json_number(fm.median) +
                   ", \"mad_mib_per_s\": " + json_number(fm.mad) + ", \"hosts\": " + std::to_string(fm.hosts) + "}";
        }
        // The outliers come before the matrix: found in a first pass.
        std::string outliers;
        for (const FleetHost& host : fleet.hosts)
            for (size_t m = 0; m < fleet.measurements.size(); ++m) {
                const HostCell& cell = host.cells[m];
                if (cell.flag != 0)
                    outliers += std::string(outliers.empty() ? "\n" : ",\n") + "    {\"host\": " +
                                json_text(host.host) + ", \"id\": \"" + fleet.measurements[m].id +
                                "\", \"median_mib_per_s\": " + json_number(cell.spread.median) +
                                ", \"z\": " + json_number(cell.z) + ", \"flag\": " +
                                (cell.flag < 0 ? "\"slow\"" : "\"fast\"") + "}";
            }
        out += "\n  ],\n  \"outliers\": [" + outliers + (outliers.empty() ? "" : "\n  ") + "],\n  \"matrix\": [";
        bool first = true;
        for (const FleetHost& host : fleet.hosts) {
            if (out.size() > 65536)
                emit(sink, &out);
            const std::string name = json_text(host.host);
            out += std::string(first ? "\n" : ",\n") + "    {\"host\": " + name +
                      ", \"runs\": " + std::to_string(host.runs) + ", \"measurements\": [";
            for (size_t m = 0; m < fleet.measurements.size(); ++m) {
                const HostCell& cell = host.cells[m];
                const std::string flag = cell.flag < 0 ? "\"slow\"" : cell.flag > 0 ? "\"fast\"" : "null";
                const std::string figures = "\"id\": \"" + fleet.measurements[m].id + "\", \"median_mib_per_s\": " +
                                            json_number(cell.spread.median);
                const std::string standing = standing_text(cell);
                out += std::string(m == 0 ? "" : ", ") + "{" + figures + ", \"trials\": " +
                       std::to_string(cell.spread.n) + ", \"left_out\": " + std::to_string(cell.left_out) +
                       ", \"z\": " + json_number(cell.z) + ", \"flag\": " + flag +
                       ", \"standing\": " + (standing.empty() ? "null" : json_text(standing)) + "}";
            }
            out += "]}";
            first = false;
        }
        out += std::string(first ? "" : "\n  ") + "]\n}\n";
        emit(sink, &out);
        return;
    }

    if (format == Format::Csv) {
        std::string out = "host,runs,measurement,median_mib_per_s,trials,z,flag,fleet_median_mib_per_s,fleet_mad_mib_per_s,"
                          "left_out,standing\n";
        for (const FleetHost& host : fleet.hosts)
            for (size_t m = 0; m < fleet.measurements.size(); ++m) {
                const HostCell& cell = host.cells[m];
                out += csv_field(host.host) + "," + std::to_string(host.runs) + "," + fleet.measurements[m].id + "," +
                       csv_number(cell.spread.median) + "," + std::to_string(cell.spread.n) + "," +
                       csv_number(cell.z) + "," + (cell.flag < 0 ? "slow" : cell.flag > 0 ? "fast" : "") + "," +
                       csv_number(fleet.measurements[m].median) + "," + csv_number(fleet.measurements[m].mad) + "," +
                       std::to_string(cell.left_out) + "," + csv_field(standing_text(cell)) + "\n";
                if (out.size() > 65536)
                    emit(sink, &out);
            }
        emit(sink, &out);
        return;
    }

    const bool markdown = format == Format::Markdown;
    std::string out = printed("%sFleet: %zu host%s, %zu run%s.\n\n", markdown ? "## " : "", fleet.hosts.size(),
                              fleet.hosts.size() == 1 ? "" : "s", runs.size(), runs.size() == 1 ? "" : "s");
    if (!warnings.empty())
        out += warnings_text(warnings, format) + "\n";
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
        out += printed("Outliers (|z| > %.1f, robust z of each host's median trial rate against the fleet's median "
                       "and MAD,\nand the host's own trials' interval beyond the median by %.0f%% or more):\n",
                       OUTLIER_Z, 100 * SMALLEST_DIFFERENCE_ONE_RUN);
        if (flagged.empty())
            out += "  none\n";
        else if (markdown)
            out += "\n| measurement | host | median trial MiB/s | fleet median | z | |\n|---|---|--:|--:|--:|---|\n" + flagged;
        else
            out += flagged;
        // Far by z, but not borne out: named, so that nobody takes them for
        // in line either.
        std::string differing;
        for (size_t m = 0; m < fleet.measurements.size(); ++m)
            for (const FleetHost& host : fleet.hosts) {
                const HostCell& cell = host.cells[m];
                if (cell.differs == 0)
                    continue;
                const std::string interval = cell.to_median.has_interval
                                                 ? "[" + three_digits(cell.to_median.low) + ", " +
                                                       three_digits(cell.to_median.high) + "]"
                                                 : "-";
                differing += (markdown ? "- " : "  ") + fleet.measurements[m].id + " " + shown(host.host, format) +
                             printed(": z = %.2f, ", cell.z) + three_digits(cell.to_median.ratio) +
                             " of the median " + interval + ": " + standing_text(cell) + "\n";
            }
        if (!differing.empty())
            out += std::string(markdown ? "\n" : "") + "Far from the fleet, but not borne out by their own trials:\n" +
                   (markdown ? "\n" : "") + differing;
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
        out += printed("\n%s median of each host's clean trial rates, MiB/s (* an outlier, ? not borne out,\n"
                       "- none clean):\n\n",
                       panel == 0 ? "Memory," : "Disk,");
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
                    (cell.flag != 0 ? "*" : cell.differs != 0 ? "?" : "");
                out += markdown ? " " + value + " |" : printed(" %9s", value.c_str());
            }
            out += "\n";
        }
    }
    emit(sink, &out);
}

std::string render_fleet(const std::vector<LoadedRun>& runs, const Fleet& fleet, Format format, bool by_label)
{
    return captured([&](FILE* sink) { write_fleet(sink, runs, fleet, format, by_label); });
}
