// The HTML page that lists the pictures.
#include "output/plot.h"

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "output/plot_text.h"

namespace {

// A file name as the path part of a relative URL.
std::string url_path(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : name) {
        const auto b = static_cast<unsigned char>(ch);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
            b == '.' || b == '_' || b == '-' || b == '~' || b == '/') {
            out += static_cast<char>(b);
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

// The interfered components and where the unknown peaks lie.
std::string check_flags(const FinishedRow& d) {
    std::string names;
    for (const RowComponent& c : d.components) {
        if (c.interfered) plot::append(names, names.empty() ? "" : ", ", plot::xml(c.name));
    }
    std::string html;
    if (!names.empty()) plot::append(html, "<span class=\"flag interfered\">interference: ", names, "</span>");
    std::string peaks;
    for (const RowUnknownPeak& p : d.unknown_peaks) {
        plot::append(peaks, peaks.empty() ? "" : ", ",
                     std::isfinite(p.energy_kev) ? plot::fixed(p.energy_kev, 0) + " keV"
                                                 : "ch " + std::to_string(p.channel));
    }
    if (!peaks.empty()) plot::append(html, "<span class=\"flag peaks\">peaks at ", peaks, "</span>");
    return html;
}

}  // namespace

std::string plot_index_html(const std::string& title, const std::vector<IndexRow>& rows) {
    using plot::append, plot::fixed, plot::xml;
    // The component columns follow the row with the most components; a run
    // has one method, so all rows normally agree.
    std::vector<std::string> headers;
    for (const auto& row : rows) {
        const auto& components = row.data.components;
        for (size_t i = headers.size(); i < components.size(); ++i) {
            headers.push_back(xml(components[i].name) + " [" + xml(components[i].unit) + "]");
        }
    }
    int failed = 0, unknown = 0, edge = 0, over = 0;
    for (const auto& row : rows) {
        failed += row.data.analysis_failed;
        unknown += row.data.unknown_found;
        edge += row.data.gain_at_scan_edge;
        over += over_a_limit(row.data);
    }

    std::string html;
    html.reserve(1024 + rows.size() * 1024);
    const std::string page_title = xml(title);
    html += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>" +
            page_title +
            "</title>\n<style>\n"
            "body{font-family:Liberation Sans,Arial,Helvetica,sans-serif;margin:16px;color:#222}\n"
            "h1{font-size:20px;margin:0 0 6px}\n"
            "p.summary{margin:0 0 12px;color:#444}\n"
            "table{border-collapse:collapse;font-size:13px}\n"
            "th,td{border:1px solid #ccc;padding:3px 6px;vertical-align:middle}\n"
            "th{background:#f0f0f0;position:sticky;top:0}\n"
            "td.num{text-align:right;white-space:nowrap;font-variant-numeric:tabular-nums}\n"
            "td.entry{min-width:10em;max-width:18em;overflow-wrap:anywhere}\n"
            "span.sd{font-weight:normal;font-size:11px}\n"
            "td.det{background:#dff0d8;font-weight:bold}\n"
            "td.nd{color:#888}\n"
            "td.over{background:#fcd9b6;font-weight:bold}\n"
            "tr.alarm td.row{background:#c00000;color:#fff}\n"
            "span.flag{display:inline-block;margin:1px;padding:1px 5px;border-radius:3px;"
            "font-size:11px;font-weight:bold;white-space:nowrap}\n"
            "span.failed{background:#000;color:#fff}\n"
            "span.unknown{background:#c00000;color:#fff}\n"
            "span.edge{background:#fff;color:#c00000;border:1px solid #c00000}\n"
            "span.over{background:#E69F00;color:#000}\n"
            "span.interfered{background:#D55E00;color:#fff}\n"
            "span.peaks{color:#c00000;font-weight:normal}\n"
            "img{display:block;border:1px solid #ddd}\n"
            "</style>\n</head>\n<body>\n<h1>" +
            page_title + "</h1>\n<p class=\"summary\">" + std::to_string(rows.size()) +
            " evaluations \u00b7 " + std::to_string(unknown) + " with an unknown nuclide \u00b7 " +
            std::to_string(failed) + " failed \u00b7 " + std::to_string(edge) +
            " with the gain at the scan edge \u00b7 " + std::to_string(over) +
            " over a limit. Detected activities are shaded green; activities over their limit "
            "orange. Each is given \u00b1 its combined standard uncertainty and with its coverage "
            "interval. Click a picture to open it.</p>\n<table>\n<thead><tr><th>#</th><th>entry</th>"
            "<th>flags</th><th>live time [s]</th><th>dead time [%]</th><th>qfit</th><th>gain</th>"
            "<th>dose rate" +
            (rows.empty() || rows.front().data.dose_unit.empty() ? std::string()
                                                                 : " [" + xml(rows.front().data.dose_unit) + "]") +
            "</th>";
    for (const auto& header : headers) append(html, "<th>", header, "</th>");
    html += "<th>picture</th></tr></thead>\n<tbody>\n";

    for (const auto& row : rows) {
        const FinishedRow& d = row.data;
        const bool alarm = d.analysis_failed || d.unknown_found;
        html += alarm ? "<tr class=\"alarm\">" : "<tr>";
        html += "<td class=\"num row\">" + std::to_string(d.row) + "</td><td class=\"entry\">" +
                xml(d.entry) + "</td><td>";
        if (d.analysis_failed) html += "<span class=\"flag failed\">analysis failed</span>";
        if (d.unknown_found) html += "<span class=\"flag unknown\">unknown nuclide</span>";
        if (d.gain_at_scan_edge) html += "<span class=\"flag edge\">gain at scan edge</span>";
        if (d.fit && d.fit->fit_poor) html += "<span class=\"flag edge\">poor fit</span>";
        if (over_a_limit(d)) {
            html += "<span class=\"flag over\">over limit</span>";
        }
        html += check_flags(d);
        for (const auto& c : d.components) {
            if (!c.standard_counts_low) continue;
            append(html, "<span class=\"flag edge\">few standard counts</span>");
            break;
        }
        html += "</td><td class=\"num\">" + std::to_string(d.live_time) +
                "</td><td class=\"num\">" + fixed(d.dead_time_percent, 2) +
                "</td><td class=\"num\">" + fixed(d.qfit, 2) + "</td><td class=\"num\">" +
                fixed(d.gain, 4) + "</td><td class=\"num\">" +
                (d.dose_rate ? fixed(*d.dose_rate, 2) : std::string("\u2014")) + "</td>";
        for (size_t i = 0; i < headers.size(); ++i) {
            if (i >= d.components.size()) {
                html += "<td></td>";
                continue;
            }
            const auto& c = d.components[i];
            const char* kind = c.over_limit ? "num over" : c.detected.value_or(false) ? "num det" : "num nd";
            const plot::UncertainText uncertain =
                plot::uncertain_text(c.activity, std::isnan(c.uncertainty) ? c.activity_sd : c.uncertainty,
                                     c.coverage_lower, c.coverage_upper, d.coverage);
            html += std::string("<td class=\"") + kind + "\">" + uncertain.value;
            append(html, "<br/><span class=\"sd\">\u00b1 ", uncertain.uncertainty, "</span>");
            if (!uncertain.interval.empty()) append(html, "<br/><span class=\"sd\">", uncertain.interval, "</span>");
            html += "</td>";
        }
        const std::string href = xml(url_path(row.file_name));
        html += "<td><a href=\"" + href + "\"><img src=\"" + href +
                "\" width=\"250\" height=\"160\" loading=\"lazy\" alt=\"picture of row " +
                std::to_string(d.row) + "\"/></a></td></tr>\n";
    }
    html += "</tbody>\n</table>\n</body>\n</html>\n";
    return html;
}
