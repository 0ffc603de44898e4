// RadiaCode XML exports: ResultDataFile / ResultDataList / ResultData, each
// with an EnergySpectrum (the measurement) and often a
// BackgroundEnergySpectrum (the background chosen in the program), both with
// NumberOfChannels, MeasurementTime (s), EnergyCalibration / Coefficients /
// Coefficient (from the constant up) and Spectrum / DataPoint (the counts).
// The device reports no dead time: the measurement time is both live and
// real time.
#include <cmath>

#include "core/text.h"
#include "input/formats/common.h"
#include "input/formats/formats.h"
#include "input/formats/times.h"
#include "input/formats/xml.h"

namespace {

using namespace formats;


std::string spectrum_label(pugi::xml_node spectrum) {
    const std::string_view name = text_of(child(spectrum, "SpectrumName"));
    const std::string_view time = text_of(child(spectrum, "MeasurementTime"));
    std::string label = name.empty() ? std::string("without a name") : quoted(name);
    if (!time.empty()) label += " (" + std::string(time.substr(0, 24)) + " s)";
    return label;
}

// A number of an element's text; none when absent, `bad` set when it does not scan.
std::optional<double> number_of(pugi::xml_node node, bool* bad) {
    if (!node) return std::nullopt;
    const std::string_view text = text_of(node);
    size_t used = 0;
    const auto value = parse_real(text, &used);
    if (!value || used != text.size()) {
        *bad = true;
        return std::nullopt;
    }
    return value;
}

}  // namespace

Expected<SourceSpectrum, SpectrumFailure> read_radiacode_xml(std::string_view bytes) {
    auto document = parse_xml(bytes);
    if (!document) return document.error();
    const pugi::xml_node root = (*document)->document_element();
    if (local_name(root) != "ResultDataFile") {
        return incomplete(format("root element %s is not ResultDataFile", quoted(root.name()).c_str()));
    }
    SourceSpectrum source;
    source.format = "RadiaCode XML";
    source.live_time_name = "MeasurementTime";
    source.real_time_name = "MeasurementTime";

    std::vector<pugi::xml_node> results;
    for_each_element(root, [&](pugi::xml_node node) {
        if (local_name(node) != "ResultData") return true;
        results.push_back(node);
        return false;
    });
    pugi::xml_node chosen;
    for (pugi::xml_node result : results) {
        if ((chosen = child(result, "EnergySpectrum"))) break;
    }
    if (!chosen) {
        for (pugi::xml_node result : results) {
            if ((chosen = child(result, "BackgroundEnergySpectrum"))) break;
        }
        if (!chosen) return incomplete("holds no spectrum (no EnergySpectrum)");
        source.notes.push_back("the file holds only a background spectrum; it was read");
    }
    for (pugi::xml_node result : results) {
        for (pugi::xml_node s = result.first_child(); s; s = s.next_sibling()) {
            const std::string_view name = local_name(s);
            if (s == chosen || (name != "EnergySpectrum" && name != "BackgroundEnergySpectrum")) continue;
            source.unread.push_back(format("%s %s", name == "EnergySpectrum" ? "spectrum" : "background spectrum",
                                           spectrum_label(s).c_str()));
        }
        if (const pugi::xml_node pulses = child(child(result, "PulseCollection"), "Pulses");
            pulses && !text_of(pulses).empty()) {
            source.unread.push_back("a list of pulses");
        }
    }

    bool bad = false;
    const auto seconds = number_of(child(chosen, "MeasurementTime"), &bad);
    if (bad) {
        return incomplete(format("MeasurementTime does not scan: %s",
                                 quoted(text_of(child(chosen, "MeasurementTime"))).c_str()));
    }
    source.live_time_s = seconds;
    source.real_time_s = seconds;
    source.notes.push_back("live and real time both the measurement time");

    const pugi::xml_node data = child(chosen, "Spectrum");
    size_t points = 0;
    for (pugi::xml_node p = data.first_child(); p; p = p.next_sibling()) {
        if (p.type() != pugi::node_element || local_name(p) != "DataPoint") continue;
        const std::string_view text = text_of(p);
        size_t used = 0;
        const auto count = parse_real(text, &used);
        if (!count || used != text.size() || !std::isfinite(*count)) {
            return incomplete(format("DataPoint %zu does not scan: %s", points, quoted(text).c_str()));
        }
        ++points;
        if (points <= static_cast<size_t>(kMaxSourceChannels)) source.counts.push_back(*count);
    }
    if (points > static_cast<size_t>(kMaxSourceChannels)) {
        return incomplete(format("holds %zu channels; at most %d can be read", points, kMaxSourceChannels));
    }
    const auto declared = number_of(child(chosen, "NumberOfChannels"), &bad);
    if (bad || (declared && *declared != static_cast<double>(points))) {
        return incomplete(format("NumberOfChannels %s but the Spectrum holds %zu DataPoints",
                                 quoted(text_of(child(chosen, "NumberOfChannels"))).c_str(), points));
    }

    std::vector<double> coefficients;
    const pugi::xml_node list = child(child(chosen, "EnergyCalibration"), "Coefficients");
    for (pugi::xml_node c = list.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element || local_name(c) != "Coefficient") continue;
        const auto value = number_of(c, &bad);
        if (bad || coefficients.size() == 16) {
            source.unread.push_back("an energy calibration that does not scan");
            coefficients.clear();
            break;
        }
        coefficients.push_back(*value);
    }
    source.calibration = tidy_calibration(std::move(coefficients), &source.unread);
    // Each spectrum's StartTime comes before it in its ResultData.
    for (pugi::xml_node s = chosen.previous_sibling(); s; s = s.previous_sibling()) {
        const std::string_view name = local_name(s);
        if (name == "EnergySpectrum" || name == "BackgroundEnergySpectrum") break;
        if (name != "StartTime") continue;
        formats::take_start_time(formats::parse_xml_date_time(text_of(s)), "StartTime", text_of(s), &source);
        break;
    }
    return source;
}
