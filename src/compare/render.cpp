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

// How the run moved its bytes: "buffered", "direct", ", cold", and the
// width of a run wider than one core and one stream of 4 MiB blocks.
std::string io_text(const RunRecord& r)
{
    const ParametersRecord& p = r.parameters;
    std::string io = std::string(p.direct_io ? "direct" : "buffered") + (p.cold ? ", cold" : "");
    if (p.cores != 1 || p.jobs != 1 || p.block_bytes != BLOCK_SIZE)
        io += ", " + width_text(r, false);
    return io;
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
                {"cores", r.parameters.cores},
                {"jobs", r.parameters.jobs},
                {"block_bytes", r.parameters.block_bytes},
                {"trials", r.trials.size()},
                {"complete", r.complete}};
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
    out += claim_note(comparison.claim);
    if (comparison.claim.refusal != nullptr)
        out += "No verdict: " + std::string(comparison.claim.refusal) + ".\n";
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

// The report of a comparison before it is written in one format: the runs,
// sides, warnings and comparisons, with the names from the runs kept as they
// are (each format escapes them its own way).

// A line that names a side: `before` + the side's name + `after`.
struct NamedLine {
    std::string before;
    std::string name;
    std::string after;
};

struct CompareReport {
    const std::vector<LoadedRun>* runs;
    std::vector<Side> sides;
    bool group;
    std::vector<std::string> warnings;
};

CompareReport report_of(const std::vector<LoadedRun>& runs, const CompareOptions& options)
{
    CompareReport report{&runs, sides_of(runs, options.group), options.group, comparability_warnings(runs)};
    const std::vector<std::string> spread = spread_warnings(runs);
    report.warnings.insert(report.warnings.end(), spread.begin(), spread.end());
    if (report.sides.size() < 2)
        report.warnings.push_back("every run is on one side (--group): there is nothing to compare it with");
    return report;
}

std::string unit_of(const Comparison& comparison)
{
    return comparison.runs_as_unit ? "runs" : "trials";
}

// The lines under a comparison's table: trials left out, and large-array
// figures whose first sweep took most of the time (they measured mostly the
// bringing in of fresh pages), with the rate of the later sweeps.
std::vector<NamedLine> notes_of(const CompareReport& report, const Comparison& c)
{
    const std::vector<Side>& sides = report.sides;
    std::vector<NamedLine> notes;
    for (const ComparisonRow& row : c.rows)
        for (int which = 0; which < 2; ++which) {
            const SideFigures& figures = which == 0 ? row.base : row.other;
            if (figures.left_out == 0)
                continue;
            const Side& side = sides[which == 0 ? 0 : c.side];
            notes.push_back(NamedLine{printed("  %s: %zu of %zu trials of ", row.id.c_str(), figures.left_out,
                                              figures.left_out + figures.trials),
                                      side.name,
                                      " disturbed (" + disturbed_reasons_text(figures.reasons) + "), left out"});
        }
    for (const ComparisonRow& row : c.rows)
        for (int which = 0; which < 2; ++which) {
            const Side& side = sides[which == 0 ? 0 : c.side];
            for (size_t r : side.runs) {
                const FirstTouch touch = first_touch((*report.runs)[r].record, row.id);
                if (!touch.timed || touch.share <= FIRST_TOUCH_SHARE)
                    continue;
                notes.push_back(NamedLine{
                    printed("  %s: the first sweep of ", row.id.c_str()), side.name,
                    (side.runs.size() > 1 ? printed(" (run %zu)", r + 1) : std::string()) +
                        printed(", bringing the fresh pages in, took %.0f%% of the time; the later sweeps stored at "
                                "%s MiB/s",
                                100.0 * touch.share, rate_text(touch.later_mib_per_s).c_str())});
            }
        }
    return notes;
}

// "Too few trials for an interval within 10%: ...", or "" where none is wide.
std::string wide_note(const Comparison& comparison)
{
    const std::string wide = wide_intervals(comparison);
    return wide.empty() ? "" : "Too few " + unit_of(comparison) + " for an interval within 10%: " + wide + ".";
}

// Text for a terminal.

std::string text_name(const std::string& name)
{
    return visible(name);
}

std::string text_notes(const std::vector<NamedLine>& notes)
{
    std::string out;
    for (const NamedLine& note : notes)
        out += note.before + text_name(note.name) + note.after + "\n";
    return out;
}

void emit_comparison_text(FILE* sink, const CompareReport& report, const std::vector<Comparison>& comparisons)
{
    const std::vector<LoadedRun>& runs = *report.runs;
    std::string out = "Runs (run 1 is the baseline):\n";
    for (size_t i = 0; i < runs.size(); ++i) {
        const RunRecord& r = runs[i].record;
        const std::string fs = r.machine.fs_type + " on " + r.machine.fs_device;
        const std::string io = io_text(r);
        out += printed("  %zu  ", i + 1) + text_name(runs[i].file) + "\n";
        out += "     host " + text_name(r.machine.host_name) +
               (r.label.empty() ? "" : ", label \"" + text_name(r.label) + "\"") + ", " + text_name(r.started_at) +
               ", " + text_name(system_of(r)) + "\n";
        out += "     " + text_name(r.machine.cpu_model) + "; " + text_name(fs) + "\n";
        out += "     file " + size_text(r.parameters.file_size_bytes) + ", " + io + ", " + trials_of(r) + "\n";
        if (out.size() > 65536)
            emit(sink, &out);
    }
    if (report.group) {
        out += "\nSides (side 1 is the baseline):\n";
        for (size_t s = 0; s < report.sides.size(); ++s)
            out += printed("  %zu  ", s + 1) + text_name(report.sides[s].name) +
                   (report.sides[s].runs.size() == 1 ? ": run " : ": runs ") + members_of(report.sides[s]) + "\n";
    }
    if (!report.warnings.empty()) {
        out += "\n";
        for (const std::string& warning : report.warnings)
            out += "Warning: " + text_name(warning) + "\n";
    }
    const std::string base = text_name(report.sides[0].name);
    if (!comparisons.empty()) {
        out += "\n";
        for (const Comparison& comparison : comparisons)
            out += summary_line(text_name(report.sides[comparison.side].name), base, comparison);
    }
    for (const Comparison& comparison : comparisons) {
        if (out.size() > 65536)
            emit(sink, &out);
        out += "\n" + text_name(report.sides[comparison.side].name) + " against " + base + " (geometric means; " +
               unit_of(comparison) + " a side)\n" + method_note(comparison);
        out += printed("%-8s %10s %3s %10s %3s %9s %20s  %s\n", "", "baseline", "n", "other", "n", "ratio",
                       "interval", "verdict");
        for (const ComparisonRow& row : comparison.rows) {
            const std::string ratio = row.estimate.has_ratio ? three_digits(row.estimate.ratio) : "-";
            out += printed("%-8s %10s %3zu %10s %3zu %9s %20s  %s\n", row.id.c_str(),
                           rate_text(row.base.units.geometric_mean).c_str(), row.base.units.n,
                           rate_text(row.other.units.geometric_mean).c_str(), row.other.units.n, ratio.c_str(),
                           interval_text(row.estimate).c_str(), verdict_text(row).c_str());
        }
        out += text_notes(notes_of(report, comparison));
        const std::string advice = too_little_left(comparison);
        if (!advice.empty())
            out += folded(words_of(advice));
        const std::string wide = wide_note(comparison);
        if (!wide.empty())
            out += folded(words_of(wide));
    }
    out += verdicts_promise(comparisons);
    emit(sink, &out);
}

// Markdown for a ticket or a wiki: the same report, names escaped, tables
// as GitHub-flavoured Markdown, and a blank line after each table (a line
// right after one would be read as its row).

std::string markdown_name(const std::string& name)
{
    std::string escaped;
    for (char c : visible(name)) {
        if (c == '|' || c == '`' || c == '*' || c == '_' || c == '<' || c == '>' || c == '[' || c == ']')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

void emit_comparison_markdown(FILE* sink, const CompareReport& report, const std::vector<Comparison>& comparisons)
{
    const std::vector<LoadedRun>& runs = *report.runs;
    std::string out = "## Runs\n\n| run | file | host | started | system | CPU | file system | file size | I/O | trials |\n"
                      "|---|---|---|---|---|---|---|---|---|---|\n";
    for (size_t i = 0; i < runs.size(); ++i) {
        const RunRecord& r = runs[i].record;
        const std::string fs = r.machine.fs_type + " on " + r.machine.fs_device;
        const std::string io = io_text(r);
        out += printed("| %zu%s | ", i + 1, i == 0 ? " (baseline)" : "") + markdown_name(runs[i].file) + " | " +
               markdown_name(r.machine.host_name) + (r.label.empty() ? "" : " (" + markdown_name(r.label) + ")") +
               " | " + markdown_name(r.started_at) + " | " + markdown_name(system_of(r)) + " | " +
               markdown_name(r.machine.cpu_model) + " | " + markdown_name(fs) + " | " +
               size_text(r.parameters.file_size_bytes) + " | " + io + " | " + trials_of(r) + " |\n";
        if (out.size() > 65536)
            emit(sink, &out);
    }
    if (report.group) {
        out += "\n## Sides\n\n";
        for (size_t s = 0; s < report.sides.size(); ++s)
            out += printed("- side %zu, ", s + 1) + markdown_name(report.sides[s].name) +
                   (report.sides[s].runs.size() == 1 ? ": run " : ": runs ") + members_of(report.sides[s]) + "\n";
    }
    if (!report.warnings.empty()) {
        out += "\n";
        for (const std::string& warning : report.warnings)
            out += "- **Warning:** " + markdown_name(warning) + "\n";
    }
    const std::string base = markdown_name(report.sides[0].name);
    if (!comparisons.empty()) {
        out += "\n## Summary\n\n";
        for (const Comparison& comparison : comparisons)
            out += "- " + summary_line(markdown_name(report.sides[comparison.side].name), base, comparison);
    }
    for (const Comparison& comparison : comparisons) {
        if (out.size() > 65536)
            emit(sink, &out);
        const std::string other = markdown_name(report.sides[comparison.side].name);
        const std::string unit = unit_of(comparison);
        out += "\n## " + other + " against " + base + "\n\n" + method_note(comparison) + "\n| measurement | " +
               base + " MiB/s | " + unit + " | " + other + " MiB/s | " + unit +
               " | ratio | interval | verdict |\n|---|--:|--:|--:|--:|--:|--:|---|\n";
        for (const ComparisonRow& row : comparison.rows) {
            const std::string ratio = row.estimate.has_ratio ? three_digits(row.estimate.ratio) : "-";
            out += "| " + row.id + " | " + rate_text(row.base.units.geometric_mean) + " | " +
                   std::to_string(row.base.units.n) + " | " + rate_text(row.other.units.geometric_mean) + " | " +
                   std::to_string(row.other.units.n) + " | " + ratio + " | " + interval_text(row.estimate) + " | " +
                   verdict_text(row) + " |\n";
        }
        const std::vector<NamedLine> notes = notes_of(report, comparison);
        if (!notes.empty()) {
            out += "\n";
            for (const NamedLine& note : notes)
                out += note.before + markdown_name(note.name) + note.after + "\n";
        }
        const std::string advice = too_little_left(comparison);
        if (!advice.empty())
            out += "\n" + folded(words_of(advice));
        const std::string wide = wide_note(comparison);
        if (!wide.empty())
            out += "\n" + folded(words_of(wide));
    }
    out += verdicts_promise(comparisons);
    emit(sink, &out);
}

// CSV for a spreadsheet: a row per comparison and measurement.
void emit_comparison_csv(FILE* sink, const CompareReport& report, const CompareOptions& options)
{
    const std::vector<LoadedRun>& runs = *report.runs;
    std::string out = "run,side,file,host,measurement,baseline_geomean_mib_per_s,baseline_min_mib_per_s,"
                      "baseline_max_mib_per_s,baseline_units,baseline_left_out,geomean_mib_per_s,min_mib_per_s,"
                      "max_mib_per_s,units,left_out,ratio,ci_low,ci_high,ci_level,p_value,verdict\n";
    for (size_t s = 1; s < report.sides.size(); ++s) {
        emit(sink, &out);
        const Comparison comparison = compare_side(runs, report.sides, s, options);
        const size_t first = report.sides[comparison.side].runs[0];
        const LoadedRun& run = runs[first];
        for (const ComparisonRow& row : comparison.rows)
            out += std::to_string(first + 1) + "," + std::to_string(comparison.side + 1) + "," + csv_field(run.file) +
                   "," + csv_field(run.record.machine.host_name) + "," + row.id + "," +
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
}

// JSON for a script, through nlohmann-json: the document's parts are
// written as they are made (for 10,000 runs it holds 120,000 rows, far too
// many to hold as one tree), each element one line.

// A number, or null for none.
json number_json(double value)
{
    return std::isfinite(value) ? json(value) : json(nullptr);
}

std::string dumped(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The figures of one side, into an object that already holds their keys
// (one document is reused for every comparison: the rows of 10,000
// comparisons are far quicker written so than built anew).
json side_json()
{
    return json{{"units", 0},
                {"trials", 0},
                {"left_out", 0},
                {"disturbed", json::array()},
                {"geometric_mean_mib_per_s", nullptr},
                {"median_mib_per_s", nullptr},
                {"min_mib_per_s", nullptr},
                {"max_mib_per_s", nullptr}};
}

// The values in the order of side_json's keys, each replaced where it is
// (a lookup by key for each would take as long as the writing).
void set_side(json& object, const SideFigures& side)
{
    auto value = object.begin();
    *value++ = side.units.n;
    *value++ = side.trials;
    *value++ = side.left_out;
    if (side.reasons != 0 || !value->empty())
        *value = disturbed_names(side.reasons);
    ++value;
    *value++ = number_json(side.units.geometric_mean);
    *value++ = number_json(side.units.median);
    *value++ = number_json(side.units.min);
    *value = number_json(side.units.max);
}

void emit_comparison_json(FILE* sink, const CompareReport& report, const CompareOptions& options)
{
    const std::vector<LoadedRun>& runs = *report.runs;
    const std::vector<Side>& sides = report.sides;
    std::string out = "{\n  \"program\": \"ovrel-compare\",\n  \"mode\": \"compare\",\n  \"runs\": [";
    for (size_t i = 0; i < runs.size(); ++i) {
        out += std::string(i == 0 ? "\n" : ",\n") + "    " + dumped(run_json(runs[i], i));
        if (out.size() > 65536)
            emit(sink, &out);
    }
    out += "\n  ],\n  \"sides\": [";
    for (size_t s = 0; s < sides.size(); ++s) {
        json runs_of_side = json::array();
        for (size_t r : sides[s].runs)
            runs_of_side.push_back(r + 1);
        out += std::string(s == 0 ? "\n" : ",\n") + "    " +
               dumped(json{{"side", s + 1}, {"name", sides[s].name}, {"runs", runs_of_side}});
    }
    out += "\n  ],\n  \"warnings\": " + dumped(report.warnings) + ",\n  \"comparisons\": [";
    // One document for every comparison, its values replaced each time.
    const json row_template{{"id", ""},           {"baseline", side_json()}, {"other", side_json()},
                            {"ratio", nullptr},   {"ci_low", nullptr},       {"ci_high", nullptr},
                            {"ci_level", nullptr}, {"degrees_of_freedom", nullptr}, {"p_value", nullptr},
                            {"verdict", ""}};
    json document{{"run", 0},          {"side", 0},    {"baseline", 1}, {"runs_as_unit", false},
                  {"family", 0},       {"smallest_difference", 0.0}, {"summary", ""},
                  {"measurements", json::array()}};
    for (size_t c = 0; c + 1 < sides.size(); ++c) {
        emit(sink, &out);
        const Comparison comparison = compare_side(runs, sides, c + 1, options);
        const Side& side = sides[comparison.side];
        document["run"] = side.runs[0] + 1;
        document["side"] = comparison.side + 1;
        document["runs_as_unit"] = comparison.runs_as_unit;
        document["family"] = comparison.family;
        document["smallest_difference"] = comparison.claim.smallest_difference;
        document["summary"] = summary_line(side.name, sides[0].name, comparison);
        json& rows = document["measurements"];
        while (rows.size() < comparison.rows.size())
            rows.push_back(row_template);
        while (rows.size() > comparison.rows.size())
            rows.erase(rows.size() - 1);
        for (size_t i = 0; i < comparison.rows.size(); ++i) {
            const ComparisonRow& row = comparison.rows[i];
            // In the order of row_template's keys.
            auto value = rows[i].begin();
            *value++ = row.id;
            set_side(*value++, row.base);
            set_side(*value++, row.other);
            *value++ = number_json(row.estimate.ratio);
            *value++ = number_json(row.estimate.low);
            *value++ = number_json(row.estimate.high);
            *value++ = number_json(row.level);
            *value++ = number_json(row.estimate.degrees_of_freedom);
            *value++ = number_json(row.estimate.p_value);
            *value = verdict_text(row);
        }
        out += std::string(c == 0 ? "\n" : ",\n") + "    " + dumped(document);
    }
    out += "\n  ]\n}\n";
    emit(sink, &out);
}

} // namespace

void write_comparison(FILE* sink, const std::vector<LoadedRun>& runs, Format format, const CompareOptions& options)
{
    const CompareReport report = report_of(runs, options);
    switch (format) {
    case Format::Json: emit_comparison_json(sink, report, options); return;
    case Format::Csv: emit_comparison_csv(sink, report, options); return;
    case Format::Markdown: emit_comparison_markdown(sink, report, compare_runs(runs, report.sides, options)); return;
    case Format::Text:
    case Format::OpenMetrics: emit_comparison_text(sink, report, compare_runs(runs, report.sides, options)); return;
    }
}

std::string render_comparison(const std::vector<LoadedRun>& runs, Format format, const CompareOptions& options)
{
    return captured([&](FILE* sink) { write_comparison(sink, runs, format, options); });
}

namespace {

// The fleet's report before it is written in one format.
struct FleetReport {
    const std::vector<LoadedRun>* runs;
    const Fleet* fleet;
    std::vector<std::string> warnings;
};

// The fleet's cells in the order of the report: by measurement, then host.
template <typename Visit>
void each_cell(const Fleet& fleet, Visit visit)
{
    for (size_t m = 0; m < fleet.measurements.size(); ++m)
        for (const FleetHost& host : fleet.hosts)
            visit(m, host, host.cells[m]);
}

// The matrix's panels: the measurements of memory, then of the disk.
std::vector<size_t> panel_columns(const Fleet& fleet, int panel)
{
    std::vector<size_t> columns;
    for (size_t m = 0; m < fleet.measurements.size(); ++m) {
        const int index = measurement_index(fleet.measurements[m].id.c_str());
        const bool memory = index >= 0 && measurement_phase(MEASUREMENTS[index]) == PHASE_MEMORY;
        if (memory == (panel == 0))
            columns.push_back(m);
    }
    return columns;
}

std::string cell_value(const HostCell& cell)
{
    return (std::isfinite(cell.spread.median) ? printed("%.0f", cell.spread.median) : "-") +
           (cell.flag != 0 ? "*" : cell.differs != 0 ? "?" : "");
}

std::string panel_heading(int panel)
{
    return printed("\n%s median of each host's clean trial rates, MiB/s (* an outlier, ? not borne out,\n"
                   "- none clean):\n\n",
                   panel == 0 ? "Memory," : "Disk,");
}

std::string outliers_heading()
{
    return printed("Outliers (|z| > %.1f, robust z of each host's median trial rate against the fleet's median "
                   "and MAD,\nand the host's own trials' interval beyond the median by %.0f%% or more):\n",
                   OUTLIER_Z, 100 * SMALLEST_DIFFERENCE_ONE_RUN);
}

std::string differing_line(const Fleet& fleet, size_t m, const FleetHost& host, const std::string& name)
{
    const HostCell& cell = host.cells[m];
    return fleet.measurements[m].id + " " + name + printed(": z = %.2f, ", cell.z) +
           three_digits(cell.to_median.ratio) + " of the median " + interval_text(cell.to_median) + ": " +
           standing_text(cell);
}

const char* const DIFFERING_HEADING = "Far from the fleet, but not borne out by their own trials:\n";

void emit_fleet_text(FILE* sink, const FleetReport& report)
{
    const Fleet& fleet = *report.fleet;
    const size_t run_count = report.runs->size();
    std::string out = printed("Fleet: %zu host%s, %zu run%s.\n\n", fleet.hosts.size(), fleet.hosts.size() == 1 ? "" : "s",
                              run_count, run_count == 1 ? "" : "s");
    if (!report.warnings.empty()) {
        for (const std::string& warning : report.warnings)
            out += "Warning: " + text_name(warning) + "\n";
        out += "\n";
    }
    if (!fleet.judged) {
        out += printed("Too few hosts to judge outliers (%zu or more needed).\n", FLEET_MIN_HOSTS);
    } else {
        std::string flagged;
        std::string differing;
        each_cell(fleet, [&](size_t m, const FleetHost& host, const HostCell& cell) {
            if (cell.flag != 0)
                flagged += printed("  %-8s %-24s %10s MiB/s  fleet %10s  z = %6.2f  %s\n",
                                   fleet.measurements[m].id.c_str(), text_name(host.host).c_str(),
                                   rate_text(cell.spread.median).c_str(), rate_text(fleet.measurements[m].median).c_str(),
                                   cell.z, cell.flag < 0 ? "slow" : "fast");
            if (cell.differs != 0)
                differing += "  " + differing_line(fleet, m, host, text_name(host.host)) + "\n";
        });
        out += outliers_heading() + (flagged.empty() ? "  none\n" : flagged);
        if (!differing.empty())
            out += DIFFERING_HEADING + differing;
    }
    // The matrix in two panels, memory and disk, so that it fits a terminal.
    size_t host_width = 12;
    for (const FleetHost& host : fleet.hosts)
        host_width = std::max(host_width, std::min<size_t>(24, text_name(host.host).size()));
    for (int panel = 0; panel < 2; ++panel) {
        const std::vector<size_t> columns = panel_columns(fleet, panel);
        if (columns.empty())
            continue;
        out += panel_heading(panel) + printed("%-*s", static_cast<int>(host_width), "host");
        for (size_t m : columns)
            out += printed(" %9s", fleet.measurements[m].id.c_str());
        out += "\n";
        for (const FleetHost& host : fleet.hosts) {
            if (out.size() > 65536)
                emit(sink, &out);
            out += printed("%-*s", static_cast<int>(host_width), text_name(host.host).c_str());
            for (size_t m : columns)
                out += printed(" %9s", cell_value(host.cells[m]).c_str());
            out += "\n";
        }
    }
    emit(sink, &out);
}

void emit_fleet_markdown(FILE* sink, const FleetReport& report)
{
    const Fleet& fleet = *report.fleet;
    const size_t run_count = report.runs->size();
    std::string out = printed("## Fleet: %zu host%s, %zu run%s.\n\n", fleet.hosts.size(),
                              fleet.hosts.size() == 1 ? "" : "s", run_count, run_count == 1 ? "" : "s");
    if (!report.warnings.empty()) {
        for (const std::string& warning : report.warnings)
            out += "- **Warning:** " + markdown_name(warning) + "\n";
        out += "\n";
    }
    if (!fleet.judged) {
        out += printed("Too few hosts to judge outliers (%zu or more needed).\n", FLEET_MIN_HOSTS);
    } else {
        std::string flagged;
        std::string differing;
        each_cell(fleet, [&](size_t m, const FleetHost& host, const HostCell& cell) {
            if (cell.flag != 0)
                flagged += "| " + fleet.measurements[m].id + " | " + markdown_name(host.host) + " | " +
                           rate_text(cell.spread.median) + " | " + rate_text(fleet.measurements[m].median) + " | " +
                           printed("%.2f", cell.z) + " | " + (cell.flag < 0 ? "slow" : "fast") + " |\n";
            if (cell.differs != 0)
                differing += "- " + differing_line(fleet, m, host, markdown_name(host.host)) + "\n";
        });
        out += outliers_heading() +
               (flagged.empty() ? "  none\n"
                                : "\n| measurement | host | median trial MiB/s | fleet median | z | |\n"
                                  "|---|---|--:|--:|--:|---|\n" +
                                      flagged);
        if (!differing.empty())
            out += "\n" + std::string(DIFFERING_HEADING) + "\n" + differing;
    }
    for (int panel = 0; panel < 2; ++panel) {
        const std::vector<size_t> columns = panel_columns(fleet, panel);
        if (columns.empty())
            continue;
        out += panel_heading(panel) + "| host |";
        for (size_t m : columns)
            out += " " + fleet.measurements[m].id + " |";
        out += "\n|---|";
        for (size_t i = 0; i < columns.size(); ++i)
            out += "--:|";
        out += "\n";
        for (const FleetHost& host : fleet.hosts) {
            if (out.size() > 65536)
                emit(sink, &out);
            out += "| " + markdown_name(host.host) + " |";
            for (size_t m : columns)
                out += " " + cell_value(host.cells[m]) + " |";
            out += "\n";
        }
    }
    emit(sink, &out);
}

void emit_fleet_csv(FILE* sink, const FleetReport& report)
{
    const Fleet& fleet = *report.fleet;
    std::string out = "host,runs,measurement,median_mib_per_s,trials,z,flag,fleet_median_mib_per_s,fleet_mad_mib_per_s,"
                      "left_out,standing\n";
    for (const FleetHost& host : fleet.hosts)
        for (size_t m = 0; m < fleet.measurements.size(); ++m) {
            const HostCell& cell = host.cells[m];
            out += csv_field(host.host) + "," + std::to_string(host.runs) + "," + fleet.measurements[m].id + "," +
                   csv_number(cell.spread.median) + "," + std::to_string(cell.spread.n) + "," + csv_number(cell.z) +
                   "," + (cell.flag < 0 ? "slow" : cell.flag > 0 ? "fast" : "") + "," +
                   csv_number(fleet.measurements[m].median) + "," + csv_number(fleet.measurements[m].mad) + "," +
                   std::to_string(cell.left_out) + "," + csv_field(standing_text(cell)) + "\n";
            if (out.size() > 65536)
                emit(sink, &out);
        }
    emit(sink, &out);
}

json flag_json(int flag)
{
    return flag < 0 ? json("slow") : flag > 0 ? json("fast") : json(nullptr);
}

void emit_fleet_json(FILE* sink, const FleetReport& report)
{
    const Fleet& fleet = *report.fleet;
    std::string out = "{\n  \"program\": \"ovrel-compare\",\n  \"mode\": \"fleet\",\n  \"hosts\": " +
                      std::to_string(fleet.hosts.size()) + ",\n  \"runs\": " + std::to_string(report.runs->size()) +
                      ",\n  \"outliers_judged\": " + (fleet.judged ? "true" : "false") +
                      ",\n  \"warnings\": " + dumped(report.warnings) + ",\n  \"measurements\": [";
    for (size_t m = 0; m < fleet.measurements.size(); ++m) {
        const FleetMeasurement& fm = fleet.measurements[m];
        out += std::string(m == 0 ? "\n" : ",\n") + "    " +
               dumped(json{{"id", fm.id},
                           {"median_mib_per_s", number_json(fm.median)},
                           {"mad_mib_per_s", number_json(fm.mad)},
                           {"hosts", fm.hosts}});
    }
    // The outliers come before the matrix: found in a first pass.
    std::string outliers;
    each_cell(fleet, [&](size_t m, const FleetHost& host, const HostCell& cell) {
        if (cell.flag != 0)
            outliers += std::string(outliers.empty() ? "\n" : ",\n") + "    " +
                        dumped(json{{"host", host.host},
                                    {"id", fleet.measurements[m].id},
                                    {"median_mib_per_s", number_json(cell.spread.median)},
                                    {"z", number_json(cell.z)},
                                    {"flag", flag_json(cell.flag)}});
    });
    out += "\n  ],\n  \"outliers\": [" + outliers + (outliers.empty() ? "" : "\n  ") + "],\n  \"matrix\": [";
    // One entry for every host, its values replaced each time.
    json entry{{"host", ""}, {"runs", 0}, {"measurements", json::array()}};
    json& cells = entry["measurements"];
    for (const FleetMeasurement& fm : fleet.measurements)
        cells.push_back(json{{"id", fm.id},      {"median_mib_per_s", nullptr}, {"trials", 0}, {"left_out", 0},
                             {"z", nullptr},      {"flag", nullptr},             {"standing", nullptr}});
    for (size_t h = 0; h < fleet.hosts.size(); ++h) {
        if (out.size() > 65536)
            emit(sink, &out);
        const FleetHost& host = fleet.hosts[h];
        entry["host"] = host.host;
        entry["runs"] = host.runs;
        for (size_t m = 0; m < fleet.measurements.size(); ++m) {
            const HostCell& cell = host.cells[m];
            const std::string standing = standing_text(cell);
            // In the order of the cell's keys, after its id.
            auto value = ++cells[m].begin();
            *value++ = number_json(cell.spread.median);
            *value++ = cell.spread.n;
            *value++ = cell.left_out;
            *value++ = number_json(cell.z);
            *value++ = flag_json(cell.flag);
            *value = standing.empty() ? json(nullptr) : json(standing);
        }
        out += std::string(h == 0 ? "\n" : ",\n") + "    " + dumped(entry);
    }
    out += std::string(fleet.hosts.empty() ? "" : "\n  ") + "]\n}\n";
    emit(sink, &out);
}

} // namespace

void write_fleet(FILE* sink, const std::vector<LoadedRun>& runs, const Fleet& fleet, Format format, bool by_label)
{
    const FleetReport report{&runs, &fleet, fleet_warnings(runs, by_label, &fleet)};
    switch (format) {
    case Format::Json: emit_fleet_json(sink, report); return;
    case Format::Csv: emit_fleet_csv(sink, report); return;
    case Format::Markdown: emit_fleet_markdown(sink, report); return;
    case Format::Text:
    case Format::OpenMetrics: emit_fleet_text(sink, report); return;
    }
}

std::string render_fleet(const std::vector<LoadedRun>& runs, const Fleet& fleet, Format format, bool by_label)
{
    return captured([&](FILE* sink) { write_fleet(sink, runs, fleet, format, by_label); });
}
