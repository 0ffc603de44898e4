// ANSI N42.42 XML. 2011/2012: RadInstrumentData / RadMeasurement (with
// MeasurementClassCode and RealTimeDuration) / Spectrum (LiveTimeDuration,
// ChannelData with compressionCode, energyCalibrationReference to an
// EnergyCalibration element with CoefficientValues, EnergyBoundaryValues or
// deviation pairs). 2006: N42InstrumentData / Measurement / Spectrum
// (SourceType, LiveTime, RealTime, Calibration with an Equation's
// Coefficients or by CalibrationIDs, ChannelData with Compression).
// Durations are ISO 8601 ("PT59.61S"). Spectra under DerivedData or
// AnalysisResults are sums or results, never a measurement, and are not read.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_map>

#include "core/text.h"
#include "input/formats/common.h"
#include "input/formats/formats.h"
#include "input/formats/times.h"
#include "input/formats/xml.h"
#include "input/scan.h"

namespace {

using namespace formats;

constexpr size_t kMaxUnreadLines = 16;


// An ISO 8601 duration ("PT1H2M3.5S", "P1DT2H", "-PT5S") or plain seconds, in
// seconds; none when it is neither. Years and months have no fixed length.
std::optional<double> duration_seconds(std::string_view text) {
    size_t used = 0;
    if (const auto plain = parse_real(text, &used); plain && used == text.size()) return plain;
    size_t p = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++p;
    if (p >= text.size() || text[p] != 'P') return std::nullopt;
    ++p;
    bool in_time = false;
    bool any = false;
    double total = 0.0;
    while (p < text.size()) {
        if (text[p] == 'T' && !in_time) {
            in_time = true;
            ++p;
            continue;
        }
        size_t q = p;
        while (q < text.size() && (std::isdigit(static_cast<unsigned char>(text[q])) || text[q] == '.')) ++q;
        if (q == p || q == text.size()) return std::nullopt;
        const auto value = parse_real(text.substr(p, q - p), &used);
        if (!value || used != q - p) return std::nullopt;
        double unit = 0.0;
        switch (text[q]) {
            case 'W': unit = in_time ? 0.0 : 604800.0; break;
            case 'D': unit = in_time ? 0.0 : 86400.0; break;
            case 'H': unit = in_time ? 3600.0 : 0.0; break;
            case 'M': unit = in_time ? 60.0 : 0.0; break;
            case 'S': unit = in_time ? 1.0 : 0.0; break;
            default: break;
        }
        if (unit == 0.0) return std::nullopt;
        total += *value * unit;
        any = true;
        p = q + 1;
    }
    if (!any) return std::nullopt;
    return negative ? -total : total;
}

// Numbers of a text separated by white space; none when one does not scan.
std::optional<std::vector<double>> number_list(std::string_view text, size_t limit) {
    std::vector<double> values;
    size_t pos = 0;
    double value = 0.0;
    while (values.size() < limit) {
        const Token token = next_number(text, &pos, &value);
        if (token == Token::end) return values;
        if (token == Token::bad) return std::nullopt;
        values.push_back(value);
    }
    return values;
}

// 0: foreground, 1: not classified, 2: background, calibration, intrinsic activity.
int rank_of(std::string_view code) {
    if (same_word(code, "Foreground") || same_word(code, "Item")) return 0;
    if (same_word(code, "Background") || same_word(code, "Calibration") || same_word(code, "IntrinsicActivity")) {
        return 2;
    }
    return 1;
}

struct Candidate {
    pugi::xml_node spectrum;
    pugi::xml_node measurement;  // its RadMeasurement or Measurement, else its parent
    std::string_view code;       // the measurement's class, "" when not given
    int rank = 1;
};

// What a measurement says of its class, looked up once per measurement.
struct MeasurementClass {
    std::string_view class_code;   // MeasurementClassCode
    std::string_view source_type;  // SourceType
};

MeasurementClass class_of(pugi::xml_node measurement) {
    return {text_of(child(measurement, "MeasurementClassCode")), text_of(child(measurement, "SourceType"))};
}

std::string_view class_code(pugi::xml_node spectrum, const MeasurementClass& measurement) {
    std::string_view code = measurement.class_code;
    if (code.empty()) code = text_of(child(spectrum, "SourceType"));
    if (code.empty()) code = attribute(spectrum, "SourceType");
    if (code.empty()) code = measurement.source_type;
    return code;
}

std::string label_of(pugi::xml_node node, int ordinal) {
    std::string_view id = attribute(node, "id");
    if (id.empty()) id = attribute(node, "ID");
    if (id.empty()) id = attribute(node, "UUID");
    return id.empty() ? format("#%d", ordinal) : quoted(id);
}

std::string detector_of(pugi::xml_node spectrum, int ordinal) {
    std::string_view detector = attribute(spectrum, "radDetectorInformationReference");
    if (detector.empty()) detector = attribute(spectrum, "Detector");
    return detector.empty() ? label_of(spectrum, ordinal) : quoted(detector);
}

pugi::xml_node find_by_id(pugi::xml_node root, std::string_view id) {
    pugi::xml_node found;
    for_each_element(root, [&](pugi::xml_node node) {
        if (found) return false;
        if (attribute(node, "id") == id || attribute(node, "ID") == id) found = node;
        return !found;
    });
    return found;
}

// A time of the spectrum, or of its measurement when the spectrum gives none.
Expected<std::optional<double>, SpectrumFailure> time_of(const Candidate& c, std::string_view name,
                                                         std::string_view other, const char* what) {
    pugi::xml_node node = child(c.spectrum, name);
    if (!node) node = child(c.spectrum, other);
    if (!node) node = child(c.measurement, name);
    if (!node) node = child(c.measurement, other);
    if (!node) return std::optional<double>{};
    const std::string_view text = text_of(node);
    const auto seconds = duration_seconds(text);
    if (!seconds) {
        return incomplete(format("%s (%s) does not scan: %s", what, std::string(local_name(node)).c_str(),
                                 quoted(text).c_str()));
    }
    return std::optional<double>{seconds};
}

Expected<std::vector<double>, SpectrumFailure> channel_data(pugi::xml_node data, std::string_view bytes) {
    std::string_view compression = attribute(data, "compressionCode");
    if (compression.empty()) compression = attribute(data, "Compression");
    const bool counted_zeroes = same_word(compression, "CountedZeroes");
    if (!counted_zeroes && !compression.empty() && !same_word(compression, "None")) {
        return incomplete(format("ChannelData compression %s is not known", quoted(compression).c_str()));
    }
    const int line = line_of(bytes, std::min(static_cast<size_t>(std::max<ptrdiff_t>(data.offset_debug(), 0)),
                                             bytes.size()));
    const std::string_view text = data.child_value();
    std::vector<double> counts;
    size_t total = 0;
    size_t pos = 0;
    double value = 0.0;
    while (true) {
        const size_t at = pos;
        const Token token = next_number(text, &pos, &value);
        if (token == Token::end) break;
        if (token == Token::bad || !std::isfinite(value)) {
            return incomplete(format("count %zu of ChannelData (line %d) %s: %s", total, line,
                                     token == Token::bad ? "does not scan" : "is not finite",
                                     quoted(token_at(text, at)).c_str()));
        }
        if (counted_zeroes && value == 0.0) {
            double run = 0.0;
            const size_t run_at = pos;
            const Token run_token = next_number(text, &pos, &run);
            if (run_token == Token::end) {
                return incomplete(format("ChannelData (line %d) ends in a run of zeros without its length "
                                         "(CountedZeroes)",
                                         line));
            }
            if (run_token == Token::bad || run != std::floor(run) || run < 0) {
                return incomplete(format("ChannelData (line %d): the length of the run of zeros after count %zu "
                                         "is %s, not a whole number of channels (CountedZeroes)",
                                         line, total, quoted(token_at(text, run_at)).c_str()));
            }
            if (run > kMaxSourceChannels) {
                return incomplete(format("holds more than %d channels (a run of %g zeros in ChannelData)",
                                         kMaxSourceChannels, run));
            }
            total += static_cast<size_t>(run);
            if (total <= static_cast<size_t>(kMaxSourceChannels)) counts.resize(total, 0.0);
        } else {
            ++total;
            if (total <= static_cast<size_t>(kMaxSourceChannels)) counts.push_back(value);
        }
    }
    if (total > static_cast<size_t>(kMaxSourceChannels)) {
        return incomplete(format("holds %zu channels; at most %d can be read", total, kMaxSourceChannels));
    }
    return counts;
}

// A calibration from channel-edge energies: `edges` holds n + 1 edges (or n
// lower edges) for n channels; the fit goes through the channels' middles.
void calibration_from_edges(const std::vector<double>& edges, size_t channels, SourceSpectrum* source) {
    if (edges.size() != channels + 1 && edges.size() != channels) {
        source->unread.push_back(format("channel-edge energies (%zu of them for %zu channels)", edges.size(),
                                        channels));
        return;
    }
    std::vector<double> x;
    std::vector<double> keV;
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
        x.push_back(static_cast<double>(i));
        keV.push_back((edges[i] + edges[i + 1]) / 2.0);
    }
    double worst = 0.0;
    source->calibration = fit_calibration(x, keV, &worst);
    if (!source->calibration.empty()) {
        source->notes.push_back(format("calibration fitted to the channel-edge energies (within %.3g keV)", worst));
    }
}

// 2011: an EnergyCalibration element.
void calibration_2011(pugi::xml_node calibration, size_t channels, SourceSpectrum* source) {
    if (const pugi::xml_node values = child(calibration, "CoefficientValues")) {
        const auto coefficients = number_list(text_of(values), 16);
        if (coefficients) source->calibration = tidy_calibration(*coefficients, &source->unread);
        if (!coefficients) source->unread.push_back("energy calibration coefficients that do not scan");
    }
    if (source->calibration.empty()) {
        if (const pugi::xml_node edges = child(calibration, "EnergyBoundaryValues")) {
            const auto values = number_list(text_of(edges), static_cast<size_t>(kMaxSourceChannels) + 2);
            if (values) calibration_from_edges(*values, channels, source);
        }
    }
    if (child(calibration, "EnergyDeviationValues")) {
        const auto pairs = number_list(text_of(child(calibration, "EnergyDeviationValues")), 4096);
        source->unread.push_back(format("deviation pairs of the energy calibration (%zu)", pairs ? pairs->size() : 0));
    }
}

// 2006: a Calibration element with an Equation (polynomial or lower channel
// edges) or points of channel and energy.
void calibration_2006(pugi::xml_node calibration, size_t channels, SourceSpectrum* source) {
    if (const pugi::xml_node equation = child(calibration, "Equation")) {
        const std::string_view model = attribute(equation, "Model");
        const auto values = number_list(text_of(child(equation, "Coefficients")),
                                        static_cast<size_t>(kMaxSourceChannels) + 2);
        if (!values) {
            source->unread.push_back("energy calibration coefficients that do not scan");
        } else if (model.empty() || same_word(model, "Polynomial")) {
            source->calibration = tidy_calibration(*values, &source->unread);
        } else if (same_word(model, "LowerChannelEdge")) {
            calibration_from_edges(*values, channels, source);
        } else {
            source->unread.push_back(format("energy calibration of model %s", quoted(model).c_str()));
        }
        return;
    }
    if (const pugi::xml_node points = child(calibration, "ArrayXY")) {
        std::vector<double> x;
        std::vector<double> keV;
        for (pugi::xml_node p = points.first_child(); p; p = p.next_sibling()) {
            if (local_name(p) != "PointXY") continue;
            size_t used = 0;
            const auto cx = parse_real(text_of(child(p, "X")), &used);
            const auto cy = parse_real(text_of(child(p, "Y")), &used);
            if (cx && cy && std::isfinite(*cx) && std::isfinite(*cy)) {
                x.push_back(*cx);
                keV.push_back(*cy);
            }
        }
        double worst = 0.0;
        source->calibration = fit_calibration(x, keV, &worst);
        if (!source->calibration.empty() && x.size() > 3) {
            source->notes.push_back(format("calibration fitted to %zu points (within %.3g keV)", x.size(), worst));
        }
    }
}

bool is_energy_calibration(pugi::xml_node calibration) {
    const std::string_view type = attribute(calibration, "Type");
    return type.empty() || same_word(type, "Energy");
}

void read_calibration(pugi::xml_node root, const Candidate& chosen, size_t channels, SourceSpectrum* source) {
    // 2011: by reference, or the file's only EnergyCalibration.
    pugi::xml_node energy;
    const std::string_view reference = attribute(chosen.spectrum, "energyCalibrationReference");
    if (!reference.empty()) {
        energy = find_by_id(root, reference.substr(0, reference.find(' ')));
        if (!energy) {
            source->notes.push_back(format("energy calibration %s is not in the file", quoted(reference).c_str()));
        }
    } else {
        int found = 0;
        for_each_element(root, [&](pugi::xml_node node) {
            if (local_name(node) == "EnergyCalibration") {
                if (++found == 1) energy = node;
                return false;
            }
            return local_name(node) != "DerivedData";
        });
        if (found != 1) energy = pugi::xml_node{};
    }
    if (energy) {
        calibration_2011(energy, channels, source);
        return;
    }
    // 2006: a Calibration inside the spectrum, or by its CalibrationIDs.
    for (pugi::xml_node c = chosen.spectrum.first_child(); c; c = c.next_sibling()) {
        if (local_name(c) == "Calibration" && is_energy_calibration(c)) {
            calibration_2006(c, channels, source);
            return;
        }
    }
    std::string_view ids = attribute(chosen.spectrum, "CalibrationIDs");
    while (!ids.empty()) {
        const size_t space = ids.find(' ');
        const std::string_view id = ids.substr(0, space);
        ids = space == std::string_view::npos ? std::string_view{} : ids.substr(space + 1);
        if (id.empty()) continue;
        const pugi::xml_node c = find_by_id(root, id);
        if (c && is_energy_calibration(c)) {
            calibration_2006(c, channels, source);
            return;
        }
    }
}

}  // namespace

Expected<SourceSpectrum, SpectrumFailure> read_n42(std::string_view bytes) {
    auto document = parse_xml(bytes);
    if (!document) return document.error();
    const pugi::xml_node root = (*document)->document_element();
    const bool y2006 = local_name(root) == "N42InstrumentData";
    if (!y2006 && local_name(root) != "RadInstrumentData") {
        return incomplete(format("root element %s is not RadInstrumentData or N42InstrumentData",
                                 quoted(root.name()).c_str()));
    }
    SourceSpectrum source;
    source.format = y2006 ? "N42.42-2006" : "N42.42-2011";
    source.live_time_name = y2006 ? "LiveTime" : "LiveTimeDuration";
    source.real_time_name = y2006 ? "RealTime" : "RealTimeDuration";

    // Measurements are looked up by node: a file of many measurements must
    // not be searched once per spectrum.
    struct Measurement {
        MeasurementClass what;
        int spectra = 0;
        bool listed = false;
    };
    std::unordered_map<pugi::xml_node_struct*, Measurement> measurements;
    std::vector<Candidate> candidates;
    int derived = 0;
    for_each_element(root, [&](pugi::xml_node node) {
        const std::string_view name = local_name(node);
        if (name == "DerivedData" || name == "AnalysisResults") {
            for_each_element(node, [&](pugi::xml_node inner) {
                if (local_name(inner) != "Spectrum") return true;
                if (child(inner, "ChannelData")) ++derived;
                return false;
            });
            return false;
        }
        if (name != "Spectrum") return true;
        if (!child(node, "ChannelData")) return false;
        Candidate c;
        c.spectrum = node;
        c.measurement = ancestor(node, "RadMeasurement", "Measurement");
        if (!c.measurement) c.measurement = node.parent();
        Measurement& measurement = measurements[c.measurement.internal_object()];
        if (measurement.spectra++ == 0) measurement.what = class_of(c.measurement);
        c.code = class_code(node, measurement.what);
        c.rank = rank_of(c.code);
        candidates.push_back(c);
        return false;
    });
    if (candidates.empty()) {
        return incomplete(derived > 0 ? format("holds no measured spectrum, only %d in DerivedData (sums, not read)",
                                               derived)
                                      : std::string("holds no spectrum"));
    }
    const auto chosen = std::min_element(candidates.begin(), candidates.end(),
                                         [](const Candidate& a, const Candidate& b) { return a.rank < b.rank; });

    // What is left.
    std::vector<std::string> unread;
    int ordinal = 0;
    int measurements_listed = 0;
    for (auto c = candidates.begin(); c != candidates.end(); ++c) {
        ++ordinal;
        if (c == chosen) continue;
        if (c->measurement == chosen->measurement) {
            unread.push_back(format("spectrum of detector %s in the same measurement",
                                    detector_of(c->spectrum, ordinal).c_str()));
            continue;
        }
        Measurement& measurement = measurements[c->measurement.internal_object()];
        if (measurement.listed) continue;
        measurement.listed = true;
        const int spectra = measurement.spectra;
        unread.push_back(format("%s measurement %s (%d spectr%s)",
                                c->code.empty() ? "unclassified" : quoted(c->code).c_str(),
                                label_of(c->measurement, ++measurements_listed).c_str(), spectra,
                                spectra == 1 ? "um" : "a"));
    }
    if (derived > 0) unread.push_back(format("DerivedData (%d spectr%s, sums)", derived, derived == 1 ? "um" : "a"));
    if (unread.size() > kMaxUnreadLines) {
        const size_t more = unread.size() - (kMaxUnreadLines - 1);
        unread.resize(kMaxUnreadLines - 1);
        unread.push_back(format("%zu more", more));
    }
    if (chosen->rank == 2) {
        source.notes.push_back(format("the file holds no foreground measurement; its %s measurement was read",
                                      quoted(chosen->code).c_str()));
    }

    auto live = time_of(*chosen, "LiveTimeDuration", "LiveTime", "live time");
    if (!live) return live.error();
    auto real = time_of(*chosen, "RealTimeDuration", "RealTime", "real time");
    if (!real) return real.error();
    source.live_time_s = *live;
    source.real_time_s = *real;
    auto counts = channel_data(child(chosen->spectrum, "ChannelData"), bytes);
    if (!counts) return counts.error();
    source.counts = std::move(*counts);
    source.unread = std::move(unread);
    read_calibration(root, *chosen, source.counts.size(), &source);
    // StartDateTime (2011) on the measurement, StartTime (2006) on the
    // spectrum or its measurement.
    for (const pugi::xml_node holder : {chosen->spectrum, chosen->measurement}) {
        pugi::xml_node start = child(holder, "StartDateTime");
        if (!start) start = child(holder, "StartTime");
        if (!start) continue;
        const std::string key(local_name(start));
        formats::take_start_time(formats::parse_xml_date_time(text_of(start)), key.c_str(), text_of(start), &source);
        break;
    }
    return source;
}
