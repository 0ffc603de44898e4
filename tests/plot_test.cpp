// Tests of the pictures and their index page.
//
// Expected coordinates are worked out by hand from the axis mapping that
// plot.h states (channel c at x = 64 + 0.875 (c + 0.5); the count axis from
// 10^L at y = 346 to H = a + (a - L) / 5 at y = 58; the floor line at y = 360;
// residuals around y = 425 with +-R at 45 px). Every document is checked with
// the small XML reader below, and with python3's parser where it exists.
#include "core/records.h"
#include "output/plot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"
#include "utf8.h"

namespace {

namespace fs = std::filesystem;
using test_support::ScratchDir;

// ---------------------------------------------------------------------------
// A strict reader of the XML subset the documents use: one root element,
// attributes quoted, every reference one of the five predefined entities or
// a character reference, tags balanced, the whole text valid UTF-8 without
// characters XML forbids. It builds a small tree to look things up in.

struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<Element> children;
    std::string text;  // character data of the element and all its descendants, in order

    std::string attribute(const std::string& key) const {
        const auto it = attributes.find(key);
        return it == attributes.end() ? std::string() : it->second;
    }
};

class XmlReader {
public:
    explicit XmlReader(std::string_view document) : doc_(document) {}

    // The root element, or nothing with error() telling the first fault.
    std::optional<Element> read() {
        if (!check_characters()) return std::nullopt;
        if (starts("<?xml")) {
            const size_t end = doc_.find("?>");
            if (end == std::string_view::npos) return fail("unterminated XML declaration");
            pos_ = end + 2;
        }
        if (!misc()) return std::nullopt;
        if (starts("<!DOCTYPE")) {
            const size_t end = doc_.find('>', pos_);
            if (end == std::string_view::npos ||
                doc_.substr(pos_, end - pos_).find('[') != std::string_view::npos) {
                return fail("unsupported DOCTYPE");
            }
            pos_ = end + 1;
            if (!misc()) return std::nullopt;
        }
        Element root;
        if (!starts("<") || !element(&root))
            return error_.empty() ? fail("no root element") : std::nullopt;
        if (!misc()) return std::nullopt;
        if (pos_ != doc_.size()) return fail("content after the root element");
        return root;
    }

    const std::string& error() const { return error_; }

private:
    std::nullopt_t fail(const std::string& what) {
        if (error_.empty()) error_ = what + " at byte " + std::to_string(pos_);
        return std::nullopt;
    }

    bool fault(const std::string& what) {
        fail(what);
        return false;
    }

    bool starts(std::string_view prefix) const {
        return doc_.substr(pos_, prefix.size()) == prefix;
    }

    static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool name_start(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
    }
    static bool name_char(char c) {
        return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }
    static bool xml_char(uint32_t c) {
        return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
               (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    }

    // Strict UTF-8 (shortest forms, no surrogates) of allowed characters only.
    bool check_characters() {
        size_t i = 0;
        while (i < doc_.size()) {
            const auto b = static_cast<unsigned char>(doc_[i]);
            uint32_t c = 0;
            size_t length = 1;
            if (b < 0x80) {
                c = b;
            } else {
                length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
                if (length == 0 || i + length > doc_.size()) {
                    pos_ = i;
                    return fault("invalid UTF-8");
                }
                c = b & (0x7F >> length);
                for (size_t k = 1; k < length; ++k) {
                    const auto next = static_cast<unsigned char>(doc_[i + k]);
                    if ((next & 0xC0) != 0x80) {
                        pos_ = i;
                        return fault("invalid UTF-8");
                    }
                    c = (c << 6) | (next & 0x3F);
                }
                const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
                if (c < smallest || (c >= 0xD800 && c <= 0xDFFF)) {
                    pos_ = i;
                    return fault("invalid UTF-8");
                }
            }
            if (!xml_char(c)) {
                pos_ = i;
                return fault("character not allowed in XML");
            }
            i += length;
        }
        return true;
    }

    // White space and comments.
    bool misc() {
        for (;;) {
            while (pos_ < doc_.size() && is_space(doc_[pos_])) ++pos_;
            if (!starts("<!--")) return true;
            if (!comment()) return false;
        }
    }

    bool comment() {
        const size_t end = doc_.find("-->", pos_ + 4);
        if (end == std::string_view::npos) return fault("unterminated comment");
        if (doc_.substr(pos_ + 4, end - pos_ - 4).find("--") != std::string_view::npos) {
            return fault("\"--\" inside a comment");
        }
        pos_ = end + 3;
        return true;
    }

    bool name(std::string* out) {
        if (pos_ >= doc_.size() || !name_start(doc_[pos_])) return fault("expected a name");
        const size_t start = pos_;
        while (pos_ < doc_.size() && name_char(doc_[pos_])) ++pos_;
        *out = std::string(doc_.substr(start, pos_ - start));
        return true;
    }

    // A reference starting at '&', decoded into `out`.
    bool reference(std::string* out) {
        const size_t end = doc_.find(';', pos_);
        if (end == std::string_view::npos || end - pos_ > 12) return fault("bad reference");
        const std::string_view body = doc_.substr(pos_ + 1, end - pos_ - 1);
        static const std::map<std::string_view, char> kNamed = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        if (const auto it = kNamed.find(body); it != kNamed.end()) {
            *out += it->second;
        } else if (body.size() >= 2 && body[0] == '#') {
            const bool hex = body[1] == 'x';
            const std::string_view digits = body.substr(hex ? 2 : 1);
            if (digits.empty()) return fault("empty character reference");
            uint32_t value = 0;
            for (const char d : digits) {
                int v = -1;
                if (d >= '0' && d <= '9') v = d - '0';
                if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
                if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
                if (v < 0 || value > 0x10FFFF) return fault("bad character reference");
                value = value * (hex ? 16 : 10) + static_cast<uint32_t>(v);
            }
            if (!xml_char(value)) return fault("character reference to a forbidden character");
            *out += test_support::utf8(value);
        } else {
            return fault("unknown entity");
        }
        pos_ = end + 1;
        return true;
    }

    bool element(Element* element) {
        ++pos_;  // '<'
        if (!name(&element->name)) return false;
        for (;;) {
            const size_t before = pos_;
            while (pos_ < doc_.size() && is_space(doc_[pos_])) ++pos_;
            if (starts("/>")) {
                pos_ += 2;
                return true;
            }
            if (starts(">")) {
                ++pos_;
                break;
            }
            if (pos_ == before) return fault("expected white space before an attribute");
            std::string key;
            if (!name(&key)) return false;
            while (pos_ < doc_.size() && is_space(doc_[pos_])) ++pos_;
            if (!starts("=")) return fault("attribute without value");
            ++pos_;
            while (pos_ < doc_.size() && is_space(doc_[pos_])) ++pos_;
            if (pos_ >= doc_.size() || (doc_[pos_] != '"' && doc_[pos_] != '\'')) {
                return fault("unquoted attribute value");
            }
            const char quote = doc_[pos_++];
            std::string value;
            while (pos_ < doc_.size() && doc_[pos_] != quote) {
                if (doc_[pos_] == '<') return fault("'<' in an attribute value");
                if (doc_[pos_] == '&') {
                    if (!reference(&value)) return false;
                } else {
                    value += doc_[pos_++];
                }
            }
            if (pos_ >= doc_.size()) return fault("unterminated attribute value");
            ++pos_;
            if (!element->attributes.emplace(key, value).second)
                return fault("duplicate attribute");
        }
        // Content.
        for (;;) {
            if (pos_ >= doc_.size()) return fault("unclosed element <" + element->name + ">");
            if (starts("</")) {
                pos_ += 2;
                std::string closing;
                if (!name(&closing)) return false;
                if (closing != element->name) {
                    return fault("</" + closing + "> closes <" + element->name + ">");
                }
                while (pos_ < doc_.size() && is_space(doc_[pos_])) ++pos_;
                if (!starts(">")) return fault("bad end tag");
                ++pos_;
                return true;
            }
            if (starts("<!--")) {
                if (!comment()) return false;
            } else if (starts("<")) {
                Element child;
                if (!element_or_fail(&child)) return false;
                element->text += child.text;
                element->children.push_back(std::move(child));
            } else if (starts("&")) {
                if (!reference(&element->text)) return false;
            } else if (starts("]]>")) {
                return fault("\"]]>\" in text");
            } else {
                element->text += doc_[pos_++];
            }
        }
    }

    bool element_or_fail(Element* child) {
        if (pos_ + 1 >= doc_.size() || !name_start(doc_[pos_ + 1])) return fault("bad markup");
        return element(child);
    }

    std::string_view doc_;
    size_t pos_ = 0;
    std::string error_;
};

// The root of a document that must be well-formed; fails the test otherwise.
Element parse_or_fail(const std::string& document) {
    XmlReader reader(document);
    auto root = reader.read();
    EXPECT_TRUE(root.has_value()) << reader.error();
    return root.value_or(Element{});
}

void collect(const Element& element, const std::function<bool(const Element&)>& match,
             std::vector<const Element*>* out) {
    if (match(element)) out->push_back(&element);
    for (const auto& child : element.children) collect(child, match, out);
}

std::vector<const Element*> find_all(const Element& root,
                                     const std::function<bool(const Element&)>& match) {
    std::vector<const Element*> out;
    collect(root, match, &out);
    return out;
}

const Element* find_id(const Element& root, const std::string& id) {
    const auto found = find_all(root, [&](const Element& e) { return e.attribute("id") == id; });
    return found.empty() ? nullptr : found.front();
}

struct Point {
    double x, y;
};

// The points of a path made of M and L commands (with implicit repetition).
std::vector<Point> path_points(const std::string& d) {
    std::vector<Point> points;
    std::string spaced;
    for (const char c : d) {
        if (c == 'M' || c == 'L') {
            spaced += ' ';
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            ADD_FAILURE() << "unexpected command " << c << " in a spectrum path";
            return {};
        } else {
            spaced += c;
        }
    }
    std::istringstream in(spaced);
    double x = 0, y = 0;
    while (in >> x >> y) points.push_back({x, y});
    return points;
}

// The point of `points` drawn at x, if any (coordinates are rounded to 0.1).
std::optional<Point> point_at(const std::vector<Point>& points, double x) {
    for (const auto& p : points) {
        if (std::abs(p.x - x) < 0.051) return p;
    }
    return std::nullopt;
}

TEST(XmlReaderSelfCheck, RejectsWhatIsNotWellFormed) {
    const std::vector<std::string> bad = {"<a><b></a></b>",
                                          "<a x=1/>",
                                          "<a>&nbsp;</a>",
                                          "<a>x & y</a>",
                                          "<a>x < y</a>",
                                          "<a x=\"<\"/>",
                                          "<a/><b/>",
                                          "<a>\xff</a>",
                                          "<a>\xc0\xaf</a>",
                                          "<a>\x01</a>",
                                          "<a>&#1;</a>",
                                          "<a x='1' x='2'/>",
                                          "<a>",
                                          "<a><!-- x -- y --></a>",
                                          "<a>]]></a>",
                                          "<a x=\"1\"y=\"2\"/>"};
    for (const auto& document : bad) {
        XmlReader reader(document);
        EXPECT_FALSE(reader.read().has_value()) << document;
    }
    XmlReader good(
        "<?xml version=\"1.0\"?>\n<!DOCTYPE a>\n<a x='&lt;&#x41;&#66;'>t<b/>&amp;<!-- c --></a>\n");
    const auto root = good.read();
    ASSERT_TRUE(root.has_value()) << good.error();
    EXPECT_EQ(root->attribute("x"), "<AB");
    EXPECT_EQ(root->text, "t&");
    EXPECT_EQ(root->children.size(), 1u);
}

// ---------------------------------------------------------------------------
// Data.

// A flat spectrum of `level` counts in every channel, the same as expected.
FinishedRow flat_data(float level) {
    FinishedRow data;
    data.row = 1;
    data.entry = "*flat.txt";
    data.live_time = 3600;
    data.real_time = 3603;
    data.dead_time_percent = 0.08f;
    data.qfit = 12.08f;
    data.gain = 0.9988f;
    data.dose_rate = 181.37f;
    data.measured.assign(kChannels, level);
    data.expected.assign(kChannels, level);
    return data;
}

RowComponent component(const std::string& name, std::vector<std::pair<int32_t, int32_t>> rois) {
    RowComponent c;
    c.name = name;
    c.unit = "Bq";
    c.rois = std::move(rois);
    return c;
}

// A spectrum that looks like a real one: a falling continuum with two peaks
// and Poisson-like noise from a fixed sequence, so renderings are reproducible.
FinishedRow realistic_data() {
    FinishedRow data = flat_data(0.0f);
    data.entry = "*soil_a.txt";
    data.unknown_found = true;
    RowComponent k = component("K-40", {{460, 515}});
    k.activity = 450.87f;
    k.activity_sd = 6.64f;
    k.detected = true;
    RowComponent cs = component("Cs-137", {{210, 233}});
    cs.activity = 12.14f;
    cs.activity_sd = 0.37f;
    cs.detected = true;
    cs.over_limit = true;
    RowComponent i = component("I-131", {{110, 133}});
    i.activity = -1.1f;
    i.activity_sd = 0.34f;
    data.components = {k, cs, i};
    uint32_t state = 12345;
    for (int c = 0; c < kChannels; ++c) {
        const double continuum = 3000.0 * std::exp(-c / 120.0) + 2.0;
        const double peaks = 800.0 * std::exp(-0.5 * std::pow((c - 221) / 7.0, 2)) +
                             200.0 * std::exp(-0.5 * std::pow((c - 487) / 12.0, 2));
        const double e = continuum + peaks;
        state = state * 1664525u + 1013904223u;
        const double noise =
            (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 3.4 * std::sqrt(e);
        data.expected[c] = static_cast<float>(e);
        data.measured[c] = static_cast<float>(std::max(0.0, std::round(e + noise)));
    }
    return data;
}

// ---------------------------------------------------------------------------
// File names.

TEST(PlotFileName, RowNumberAndEntryWithUnsafeCharactersReplaced) {
    EXPECT_EQ(plot_file_name(1, "*soil_a.txt"), "0001__soil_a.txt.svg");
    EXPECT_EQ(plot_file_name(42, "water-2.TXT"), "0042_water-2.TXT.svg");
    // "é" is two bytes, and each becomes "_".
    EXPECT_EQ(plot_file_name(12, "+a b/c\\d:\xc3\xa9\xff.txt"), "0012__a_b_c_d____.txt.svg");
    EXPECT_EQ(plot_file_name(3, "../../etc/passwd"), "0003_.._.._etc_passwd.svg");
    EXPECT_EQ(plot_file_name(7, ""), "0007_.svg");
    EXPECT_EQ(plot_file_name(12345, "x"), "12345_x.svg");
}

TEST(PlotFileName, LongAndOddEntriesGiveShortSafeNames) {
    EXPECT_EQ(plot_file_name(9, std::string(500, 'x')), "0009_" + std::string(80, 'x') + ".svg");
    const std::vector<std::string> odd = {std::string("a\0b", 3),
                                          "\x01\x7f\x80\xfe",
                                          "<>:\"|?*",
                                          std::string(300, '/'),
                                          "  ",
                                          "\r\n\t"};
    for (const auto& entry : odd) {
        const std::string name = plot_file_name(5, entry);
        EXPECT_LE(name.size(), 4u + 1u + 80u + 4u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".svg");
        for (const char c : name) {
            const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
            EXPECT_TRUE(safe) << "byte " << static_cast<int>(static_cast<unsigned char>(c))
                              << " in " << name;
        }
    }
}

// ---------------------------------------------------------------------------
// The document.

TEST(PlotSvg, IsWellFormedWithFixedSizeAndViewBox) {
    const Element root = parse_or_fail(plot_svg(realistic_data()));
    EXPECT_EQ(root.name, "svg");
    EXPECT_EQ(root.attribute("xmlns"), "http://www.w3.org/2000/svg");
    EXPECT_EQ(root.attribute("width"), "1000");
    EXPECT_EQ(root.attribute("height"), "640");
    EXPECT_EQ(root.attribute("viewBox"), "0 0 1000 640");
}

TEST(PlotSvg, EachCurveIsOnePathWithCoordinatesInTenths) {
    const std::string svg = plot_svg(realistic_data());
    const Element root = parse_or_fail(svg);
    const auto paths = find_all(root, [](const Element& e) { return e.name == "path"; });
    EXPECT_LT(paths.size(), 40u);  // not one element per channel
    for (const char* id : {"measured", "expected"}) {
        const Element* path = find_id(root, id);
        ASSERT_NE(path, nullptr) << id;
        const std::string d = path->attribute("d");
        EXPECT_EQ(path_points(d).size(), static_cast<size_t>(kChannels)) << id;
        // No coordinate carries more than one decimal.
        for (size_t dot = d.find('.'); dot != std::string::npos; dot = d.find('.', dot + 1)) {
            EXPECT_TRUE(dot + 2 >= d.size() ||
                        !std::isdigit(static_cast<unsigned char>(d[dot + 2])))
                << d.substr(dot - 3, 8);
        }
    }
    EXPECT_LT(svg.size(), 80000u);
}

TEST(PlotSvg, PeakLandsWhereTheAxisMappingPutsIt) {
    // Background 10 everywhere, 500 in channel 500, 100 in channel 400.
    // a = log10 500, L = 1, H = a + (a - 1) / 5 = 3.038764.
    FinishedRow data = flat_data(10.0f);
    data.measured[500] = 500.0f;
    data.measured[400] = 100.0f;
    const Element root = parse_or_fail(plot_svg(data));
    const Element* measured = find_id(root, "measured");
    ASSERT_NE(measured, nullptr);
    const auto points = path_points(measured->attribute("d"));
    ASSERT_EQ(points.size(), static_cast<size_t>(kChannels));
    EXPECT_NEAR(points.front().x, 64.4, 1e-9);  // 64 + 0.875 * 0.5 = 64.4375
    EXPECT_NEAR(points.back().x, 959.6, 1e-9);  // 64 + 0.875 * 1023.5 = 959.5625
    // Channel 500: x = 64 + 0.875 * 500.5 = 501.9375; y = 58 + 288 / 6 = 106.
    EXPECT_NEAR(points[500].x, 501.9, 1e-9);
    EXPECT_NEAR(points[500].y, 106.0, 1e-9);
    // Channel 400: x = 414.4375; y = 58 + (H - 2) / (H - 1) * 288 = 58 + 146.738.
    EXPECT_NEAR(points[400].x, 414.4, 1e-9);
    EXPECT_NEAR(points[400].y, 204.7, 1e-9);
    // The background sits on the lowest decade, 10^L = 10 at y = 346.
    EXPECT_NEAR(points[0].y, 346.0, 1e-9);
    EXPECT_NEAR(points[1023].y, 346.0, 1e-9);
    const auto point = point_at(points, 501.9);
    ASSERT_TRUE(point.has_value());
    EXPECT_NEAR(point->y, 106.0, 1e-9);

    const Element* expected = find_id(root, "expected");
    ASSERT_NE(expected, nullptr);
    for (const auto& p : path_points(expected->attribute("d"))) EXPECT_NEAR(p.y, 346.0, 1e-9);
}

TEST(PlotSvg, CountAxisLimitsFollowTheRangeOfTheCounts) {
    {
        // Largest 1e9, smallest 0.5: L = max(floor(log10 0.5), -1, ceil(9) - 8) = 1,
        // H = 9 + 8 / 5 = 10.6: 100 counts at 58 + (10.6 - 2) / 9.6 * 288 = 316,
        // and 0.5 (below 10^L) held at 346.
        FinishedRow data = flat_data(0.5f);
        data.measured[10] = 1e9f;
        data.measured[20] = 100.0f;
        const auto points =
            path_points(find_id(parse_or_fail(plot_svg(data)), "measured")->attribute("d"));
        ASSERT_EQ(points.size(), static_cast<size_t>(kChannels));
        EXPECT_NEAR(points[10].y, 106.0, 1e-9);
        EXPECT_NEAR(points[20].y, 316.0, 1e-9);
        EXPECT_NEAR(points[30].y, 346.0, 1e-9);
    }
    {
        // Smallest 0.001, largest 1000: L is held at -1, H = 3 + 4 / 5 = 3.8;
        // 1 count at 58 + 3.8 / 4.8 * 288 = 286.
        FinishedRow data = flat_data(0.001f);
        data.measured[100] = 1000.0f;
        data.measured[101] = 1.0f;
        const auto points =
            path_points(find_id(parse_or_fail(plot_svg(data)), "measured")->attribute("d"));
        ASSERT_EQ(points.size(), static_cast<size_t>(kChannels));
        EXPECT_NEAR(points[100].y, 106.0, 1e-9);
        EXPECT_NEAR(points[101].y, 286.0, 1e-9);
        EXPECT_NEAR(points[0].y, 346.0, 1e-9);
    }
    {
        // Everything 5 but one expected 1: L = 0 leaves a - L < 1, so L = floor(a - 1) = -1 and
        // H = a + (a + 1) / 5 = 1.038764; 5 is at 106, 1 count at
        // 58 + 1.038764 / 2.038764 * 288 = 204.738.
        FinishedRow data = flat_data(5.0f);
        data.expected[7] = 1.0f;
        const Element root = parse_or_fail(plot_svg(data));
        EXPECT_NEAR(path_points(find_id(root, "measured")->attribute("d"))[3].y, 106.0, 1e-9);
        EXPECT_NEAR(path_points(find_id(root, "expected")->attribute("d"))[7].y, 204.7, 1e-9);
    }
}

TEST(PlotSvg, DecadeLabelsSitOnTheirDecades) {
    // As in the peak test: L = 1, H = 3.038764; 100 at y = 204.738, 1000 at
    // 58 + 0.038764 / 2.038764 * 288 = 63.476; labels sit 4 px below (baseline).
    FinishedRow data = flat_data(10.0f);
    data.measured[500] = 500.0f;
    const Element root = parse_or_fail(plot_svg(data));
    const Element* axis = find_id(root, "count-axis");
    ASSERT_NE(axis, nullptr);
    std::map<std::string, double> label_y;
    for (const auto& child : axis->children) {
        if (child.name == "text" && child.attribute("text-anchor") == "end") {
            label_y[child.text] = std::stod(child.attribute("y"));
        }
    }
    EXPECT_NEAR(label_y["10"], 350.0, 1e-9);
    EXPECT_NEAR(label_y["100"], 208.7, 1e-9);
    EXPECT_NEAR(label_y["1000"], 67.5, 1e-9);
    EXPECT_EQ(label_y.count("1"), 0u);      // below the axis
    EXPECT_EQ(label_y.count("10000"), 0u);  // above it
    EXPECT_EQ(label_y.count("\u2264 0"), 1u);
}

TEST(PlotSvg, ZeroAndNegativeCountsAreDrawnOnTheFloorLineAndMarked) {
    FinishedRow data = flat_data(10.0f);
    data.measured[100] = 0.0f;
    data.measured[101] = 0.0f;
    data.measured[200] = -3.0f;
    data.expected[300] = 0.0f;
    const Element root = parse_or_fail(plot_svg(data));
    const auto points = path_points(find_id(root, "measured")->attribute("d"));
    ASSERT_EQ(points.size(), static_cast<size_t>(kChannels));
    EXPECT_NEAR(points[100].y, 360.0, 1e-9);
    EXPECT_NEAR(points[200].y, 360.0, 1e-9);
    EXPECT_NEAR(path_points(find_id(root, "expected")->attribute("d"))[300].y, 360.0, 1e-9);

    // Marks at x = 64 + 0.875 * 100.5 = 151.9375, 152.8125 and 239.4375.
    const Element* zeros = find_id(root, "zero-counts");
    ASSERT_NE(zeros, nullptr);
    EXPECT_EQ(zeros->attribute("d"), "M151.9 357v6M152.8 357v6");
    const Element* negatives = find_id(root, "negative-counts");
    ASSERT_NE(negatives, nullptr);
    EXPECT_EQ(negatives->attribute("d"), "M239.4 355v10");
    EXPECT_NE(zeros->attribute("stroke"), find_id(root, "measured")->attribute("stroke"));
    const Element* note = find_id(root, "floor-note");
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->text, "2 channels at 0 counts, 1 negative (on the \u2264 0 line)");
    ASSERT_NE(find_id(root, "floor-line"), nullptr);
}

TEST(PlotSvg, WithoutZerosThereAreNoMarksButTheNoteSaysSo) {
    const Element root = parse_or_fail(plot_svg(flat_data(10.0f)));
    EXPECT_EQ(find_id(root, "zero-counts"), nullptr);
    EXPECT_EQ(find_id(root, "negative-counts"), nullptr);
    EXPECT_EQ(find_id(root, "floor-note")->text,
              "0 channels at 0 counts, 0 negative (on the \u2264 0 line)");
}

TEST(PlotSvg, ChannelsWithoutValueBreakTheCurve) {
    FinishedRow data = flat_data(10.0f);
    data.measured[1022] = NAN;
    data.measured[1023] = NAN;
    data.measured[5] = NAN;
    data.expected.resize(1000);  // short: the rest has no value
    const Element root = parse_or_fail(plot_svg(data));
    const std::string d = find_id(root, "measured")->attribute("d");
    EXPECT_EQ(path_points(d).size(), static_cast<size_t>(kChannels - 3));
    EXPECT_EQ(std::count(d.begin(), d.end(), 'M'), 2);
    EXPECT_EQ(d.find("nan"), std::string::npos);
    EXPECT_EQ(path_points(find_id(root, "expected")->attribute("d")).size(), 1000u);

    FinishedRow empty = flat_data(1.0f);
    empty.measured.clear();
    empty.expected.clear();
    const Element bare = parse_or_fail(plot_svg(empty));
    EXPECT_EQ(find_id(bare, "measured"), nullptr);
    EXPECT_EQ(find_id(bare, "expected"), nullptr);
}

// Residual bars: "M x 425V y" with y = 425 - r / R * 45.
TEST(PlotSvg, ResidualsAreBarsInsideTheRoisOnly) {
    FinishedRow data = flat_data(100.0f);
    data.components = {component("Cs-137", {{495, 505}}), component("K-40", {{503, 510}})};
    data.measured[500] = 130.0f;  // r = 30 / 10 = 3: R = 5, y = 425 - 27 = 398
    data.measured[501] = 80.0f;   // r = -2: y = 443
    data.measured[508] = 120.0f;  // r = 2, in the K-40 ROI only: y = 407
    data.measured[600] = 300.0f;  // outside every ROI: no bar
    data.expected[497] = 0.5f;    // r = (100 - 0.5) / sqrt(1) = 99.5 would need R > 50
    data.measured[497] = 0.5f;    // ... so keep it at r = 0
    data.measured[496] = 1.5f;
    data.expected[496] = 0.5f;  // r = 1 / sqrt(max(0.5, 1)) = 1: y = 416
    const Element root = parse_or_fail(plot_svg(data));
    const auto bars =
        find_all(root, [](const Element& e) { return e.attribute("class") == "residual"; });
    ASSERT_EQ(bars.size(), 2u);  // one path per component that owns ROI channels
    const std::string cs = bars[0]->attribute("d");
    const std::string k = bars[1]->attribute("d");
    // x(500) = 501.9375, x(501) = 502.8125, x(508) = 508.9375, x(496) = 498.4375
    EXPECT_NE(cs.find("M501.9 425V398"), std::string::npos) << cs;
    EXPECT_NE(cs.find("M502.8 425V443"), std::string::npos) << cs;
    EXPECT_NE(cs.find("M498.4 425V416"), std::string::npos) << cs;
    // Channels 503 to 505 belong to the first component that claims them.
    EXPECT_NE(cs.find("M506.3 425V425"), std::string::npos) << cs;  // x(505) = 506.3125
    EXPECT_EQ(k.find("M506.3 "), std::string::npos) << k;
    EXPECT_NE(k.find("M508.9 425V407"), std::string::npos) << k;
    EXPECT_EQ(std::count(cs.begin(), cs.end(), 'M'), 11);  // channels 495..505
    EXPECT_EQ(std::count(k.begin(), k.end(), 'M'), 5);     // channels 506..510
    EXPECT_EQ(find_id(root, "residual-clipped"), nullptr);
    EXPECT_NE(bars[0]->attribute("stroke"), bars[1]->attribute("stroke"));
}

TEST(PlotSvg, ResidualRangeGrowsAndClipsBeyondFifty) {
    FinishedRow data = flat_data(100.0f);
    data.components = {component("A", {{100, 102}})};
    data.measured[100] = 250.0f;  // r = 15: R = 20, y = 425 - 15 / 20 * 45 = 391.25
    const Element wide = parse_or_fail(plot_svg(data));
    const auto bars =
        find_all(wide, [](const Element& e) { return e.attribute("class") == "residual"; });
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_NE(bars[0]->attribute("d").find("M151.9 425V391.3"),
              std::string::npos);  // x(100) = 151.9375
    EXPECT_EQ(find_id(wide, "residual-clipped"), nullptr);

    data.measured[101] = 1100.0f;  // r = 100: clipped at +50 (y = 380) and marked
    data.measured[102] = 0.0f;     // r = -10: y = 425 + 9 = 434
    const Element clipped = parse_or_fail(plot_svg(data));
    const auto bars2 =
        find_all(clipped, [](const Element& e) { return e.attribute("class") == "residual"; });
    ASSERT_EQ(bars2.size(), 1u);
    const std::string d = bars2[0]->attribute("d");
    EXPECT_NE(d.find("M152.8 425V380"), std::string::npos) << d;  // x(101) = 152.8125
    EXPECT_NE(d.find("M153.7 425V434"), std::string::npos) << d;  // x(102) = 153.6875
    const Element* mark = find_id(clipped, "residual-clipped");
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->attribute("d").rfind("M152.8 380", 0), 0u);
}

TEST(PlotSvg, RoiBandsCoverTheirChannelsInTheComponentColour) {
    FinishedRow data = flat_data(10.0f);
    data.components = {component("K-40", {{460, 515}}),
                       component("Cs-137", {{210, 233}, {-5, 3}, {1020, 2000}, {50, 40}})};
    const Element root = parse_or_fail(plot_svg(data));
    const auto bands =
        find_all(root, [](const Element& e) { return e.attribute("class") == "roi"; });
    ASSERT_EQ(bands.size(), 4u);  // the reversed ROI is left out
    // 460..515: x from 64 + 0.875 * 460 = 466.5, width 56 * 0.875 = 49.
    EXPECT_EQ(bands[0]->attribute("x"), "466.5");
    EXPECT_EQ(bands[0]->attribute("width"), "49");
    EXPECT_EQ(bands[0]->attribute("y"), "58");
    // 210..233: from 247.75, width 21.
    EXPECT_EQ(bands[1]->attribute("x"), "247.8");
    EXPECT_EQ(bands[1]->attribute("width"), "21");
    // Clamped to the channels: 0..3 and 1020..1023.
    EXPECT_EQ(bands[2]->attribute("x"), "64");
    EXPECT_EQ(bands[2]->attribute("width"), "3.5");
    EXPECT_EQ(bands[3]->attribute("x"), "956.5");
    EXPECT_EQ(bands[3]->attribute("width"), "3.5");
    EXPECT_NE(bands[0]->attribute("fill"), bands[1]->attribute("fill"));
    EXPECT_EQ(bands[1]->attribute("fill"), bands[3]->attribute("fill"));
}

TEST(PlotSvg, SixComponentsGetSixDifferentColours) {
    FinishedRow data = flat_data(10.0f);
    for (int i = 0; i < 6; ++i) {
        std::string name = "C";
        name += std::to_string(i);
        data.components.push_back(component(name, {{100 * i + 10, 100 * i + 20}}));
    }
    const Element root = parse_or_fail(plot_svg(data));
    const auto bands =
        find_all(root, [](const Element& e) { return e.attribute("class") == "roi"; });
    ASSERT_EQ(bands.size(), 6u);
    std::vector<std::string> fills;
    for (const auto* band : bands) fills.push_back(band->attribute("fill"));
    std::sort(fills.begin(), fills.end());
    EXPECT_EQ(std::unique(fills.begin(), fills.end()), fills.end());
}

// ---------------------------------------------------------------------------
// Title and legend.

std::string title_text(const FinishedRow& data) {
    const Element root = parse_or_fail(plot_svg(data));
    const Element* title = find_id(root, "title");
    return title == nullptr ? std::string() : title->text;
}

// The start where one is known, a file's local time as it is and UTC named;
// nothing of it otherwise.
TEST(PlotTitle, ShowsTheMeasurementStartWhereKnown) {
    FinishedRow data = flat_data(10.0f);
    EXPECT_EQ(title_text(data).find("started"), std::string::npos);
    data.measurement_start = "2014-01-12T15:12:28";
    EXPECT_NE(title_text(data).find("started 2014-01-12 15:12:28 \u00b7 live time"), std::string::npos);
    data.measurement_start = "2014-01-12T14:12:28Z";
    EXPECT_NE(title_text(data).find("started 2014-01-12 14:12:28 UTC \u00b7 live time"), std::string::npos);
}

TEST(PlotTitle, ShowsTheValuesOfTheRow) {
    FinishedRow data = flat_data(10.0f);
    data.row = 3;
    const std::string text = title_text(data);
    EXPECT_NE(text.find("Row 3"), std::string::npos) << text;
    EXPECT_NE(text.find("*flat.txt"), std::string::npos) << text;
    EXPECT_NE(text.find("live time 3600 s"), std::string::npos) << text;
    EXPECT_NE(text.find("dead time 0.08 %"), std::string::npos) << text;
    EXPECT_NE(text.find("gain 0.9988"), std::string::npos) << text;
    EXPECT_NE(text.find("qfit 12.08"), std::string::npos) << text;
    EXPECT_NE(text.find("dose rate 181.37"), std::string::npos) << text;
    EXPECT_EQ(text.find("weight"), std::string::npos) << text;  // only when not 1
    data.dose_rate.reset();
    data.weight = 0.5f;
    const std::string without = title_text(data);
    EXPECT_NE(without.find("no dose calibration"), std::string::npos) << without;
    EXPECT_EQ(without.find("dose rate"), std::string::npos) << without;
    EXPECT_NE(without.find("weight 0.500"), std::string::npos) << without;
}

TEST(PlotTitle, MarksAppearExactlyWhenTheirFlagIsSet) {
    FinishedRow data = flat_data(10.0f);
    data.components = {component("Cs-137", {{210, 233}})};
    const std::string plain = title_text(data);
    EXPECT_EQ(plain.find("UNKNOWN NUCLIDE"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("AT SCAN EDGE"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("ANALYSIS FAILED"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("OVER LIMIT"), std::string::npos) << plain;

    data.unknown_found = true;
    std::string text = title_text(data);
    EXPECT_NE(text.find("UNKNOWN NUCLIDE"), std::string::npos) << text;
    EXPECT_EQ(text.find("AT SCAN EDGE"), std::string::npos) << text;

    data.unknown_found = false;
    data.gain_at_scan_edge = true;
    data.gain = 0.94f;
    text = title_text(data);
    EXPECT_NE(text.find("gain 0.9400 (AT SCAN EDGE)"), std::string::npos) << text;
    EXPECT_EQ(text.find("UNKNOWN NUCLIDE"), std::string::npos) << text;

    data.gain_at_scan_edge = false;
    data.analysis_failed = true;
    data.components[0].over_limit = true;
    text = title_text(data);
    EXPECT_NE(text.find("ANALYSIS FAILED"), std::string::npos) << text;
    EXPECT_NE(text.find("OVER LIMIT"), std::string::npos) << text;
    EXPECT_EQ(text.find("AT SCAN EDGE"), std::string::npos) << text;
}

// Unknown peaks are marked at their channel (x = 64 + 0.875 (c + 0.5) with
// all 1024 channels shown) with the energy, or the channel without one; an
// interfered component's ROI is outlined.
TEST(PlotChecks, UnknownPeaksAndInterferenceAreMarked) {
    FinishedRow data = flat_data(100.0f);
    data.components = {component("Cs-137", {{210, 233}}), component("Co-60", {{380, 460}})};
    RowUnknownPeak at_channel;
    at_channel.channel = 265;
    RowUnknownPeak at_energy;
    at_energy.channel = 600;
    at_energy.energy_kev = 1800.4;
    data.unknown_peaks = {at_channel, at_energy};
    std::string svg = plot_svg(data);
    EXPECT_EQ(svg.find("id=\"interference\""), std::string::npos);
    EXPECT_EQ(svg.find("INTERFERENCE"), std::string::npos);
    const std::string peaks = svg.substr(svg.find("<g id=\"unknown-peaks\""));
    for (const char* mark : {"M296.3 ", ">ch 265</text>", "M589.4 ", ">1800 keV</text>"}) {
        EXPECT_NE(peaks.find(mark), std::string::npos) << mark;
    }
    // The badge and the outline are the run's end-to-end test's; here where
    // the outline stands: channels 380-460 from 64 + 0.875 * 380, 81 wide.
    data.components[1].interfered = true;
    const std::string outline = plot_svg(data).substr(plot_svg(data).find("<g id=\"interference\""));
    EXPECT_NE(outline.find("x=\"396.5\" y=\"59\" width=\"70.9\""), std::string::npos) << outline.substr(0, 200);
}

TEST(PlotTitle, ExtremeValuesStayReadableAndInside) {
    FinishedRow data = flat_data(10.0f);
    data.live_time = UINT64_MAX;
    data.qfit = 3e38f;
    data.gain = NAN;
    data.dead_time_percent = -INFINITY;
    data.dose_rate = 123456789.0f;
    RowComponent c = component("K-40", {{460, 515}});
    c.activity = NAN;
    c.activity_sd = INFINITY;
    data.components = {c};
    const Element root = parse_or_fail(plot_svg(data));
    const std::string text = find_id(root, "title")->text;
    EXPECT_NE(text.find("live time 18446744073709551615 s"), std::string::npos) << text;
    EXPECT_NE(text.find("qfit 3.000000e+38"), std::string::npos) << text;  // not 39 digits
    EXPECT_NE(text.find("gain nan"), std::string::npos) << text;
    EXPECT_NE(text.find("dead time -inf %"), std::string::npos) << text;
    EXPECT_NE(text.find("dose rate 123456792.00"), std::string::npos) << text;  // the float's value
    EXPECT_EQ(text.find("-nan"), std::string::npos) << text;
    EXPECT_NE(find_id(root, "legend")->text.find("K-40 nan \u00b1 inf Bq"), std::string::npos);
}

TEST(PlotTitle, LongEntryIsShortenedKeepingBothEnds) {
    FinishedRow data = flat_data(10.0f);
    data.entry = "*START" + std::string(400, 'x') + "END.txt";
    data.unknown_found = true;
    const Element root = parse_or_fail(plot_svg(data));
    const Element* title = find_id(root, "title");
    ASSERT_NE(title, nullptr);
    const auto tspans = find_all(*title, [](const Element& e) {
        return e.name == "tspan" && e.attribute("font-weight") == "bold";
    });
    ASSERT_EQ(tspans.size(), 1u);
    const std::string shown = tspans[0]->text;
    EXPECT_EQ(shown.rfind("*START", 0), 0u) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 7), "END.txt") << shown;
    EXPECT_NE(shown.find("\u2026"), std::string::npos) << shown;
    // About 0.6 em of 17 px per character at most: the entry must leave room
    // for "Row 1" and the badge within 1000 px.
    EXPECT_LT(shown.size(), 80u) << shown;
}

// Renderers that follow the older whitespace rule of SVG (librsvg among
// them) drop spaces at the start and end of a tspan: "Row 11  " before the
// entry showed as "Row 11*k_fertilizer.xml". Spaces between words stand
// between the runs of a line instead.
TEST(PlotTitle, WordsAreSeparatedBetweenRunsNeverAtTheirEdges) {
    FinishedRow data = flat_data(10.0f);
    data.row = 11;
    data.entry = "*k_fertilizer.xml";
    data.gain_at_scan_edge = true;
    data.fit.emplace();
    data.fit->fit_poor = true;
    RowComponent k = component("K-40", {{460, 515}});
    k.activity = 31.0f;
    k.activity_sd = 8.0f;
    k.detected = true;
    k.decision_threshold = 8.6f;
    k.over_limit = true;
    RowComponent cs = component("Cs-137", {{210, 233}});
    cs.detected = false;
    cs.detection_limit = 0.5f;
    data.components = {k, cs};
    const Element root = parse_or_fail(plot_svg(data));
    for (const Element* tspan : find_all(root, [](const Element& e) { return e.name == "tspan"; })) {
        ASSERT_FALSE(tspan->text.empty());
        EXPECT_NE(tspan->text.front(), ' ') << tspan->text;
        EXPECT_NE(tspan->text.back(), ' ') << tspan->text;
    }
    const auto heading = find_all(*find_id(root, "title"), [](const Element& e) {
        return e.name == "text" && e.attribute("y") == "26";
    });
    ASSERT_EQ(heading.size(), 1u);
    EXPECT_EQ(heading[0]->text, "Row 11 *k_fertilizer.xml");
    const std::string& legend = find_id(root, "legend")->text;
    EXPECT_NE(legend.find("detected (> 8.6 Bq) \u00b7 limits unreliable \u00b7 OVER LIMIT"), std::string::npos)
        << legend;
    EXPECT_NE(legend.find("not detected (< 0.50 Bq) \u00b7 limits unreliable"), std::string::npos) << legend;
}

// With a combined uncertainty the legend and the index quote it instead of
// the table's deviation, both rounded to its two significant digits, with
// the coverage interval at the same decimals; a standard of fewer than 1e4
// net counts is flagged in both.
TEST(PlotLegend, QuotesTheUncertaintyAndCoverageInterval) {
    FinishedRow data = flat_data(10.0f);
    data.coverage = 0.9;
    RowComponent cs = component("Cs-137", {{210, 233}});
    cs.activity = 148.3769f;
    cs.activity_sd = 0.947f;
    cs.uncertainty = 2.1402;
    cs.coverage_lower = 144.1821;
    cs.coverage_upper = 152.5717;
    cs.detected = true;
    cs.standard_net_counts = 3243.0;
    cs.standard_counts_low = true;
    data.components = {cs};
    const std::string legend = find_id(parse_or_fail(plot_svg(data)), "legend")->text;
    EXPECT_NE(legend.find("Cs-137 148.4 \u00b1 2.1 Bq"), std::string::npos) << legend;
    EXPECT_NE(legend.find("90 %: 144.2\u2013152.6 Bq"), std::string::npos) << legend;
    EXPECT_NE(legend.find("standard: only 3200 counts"), std::string::npos) << legend;
    const std::string html = plot_index_html("run", {{data, "a.svg"}});
    EXPECT_NE(html.find("148.4<br/><span class=\"sd\">\u00b1 2.1</span><br/><span class=\"sd\">90 %: "
                        "144.2\u2013152.6</span>"),
              std::string::npos);
    EXPECT_NE(html.find("few standard counts"), std::string::npos);
}

TEST(PlotLegend, GivesNameActivityUnitAndDetection) {
    FinishedRow data = flat_data(10.0f);
    RowComponent cs = component("Cs-137", {{210, 233}});
    cs.activity = 844.43f;
    cs.activity_sd = 1.79f;
    cs.detected = true;
    cs.over_limit = true;
    RowComponent i = component("I-131", {{110, 133}});
    i.unit = "Bq/kg";
    i.activity = -1.1f;
    i.activity_sd = 0.34f;
    i.detected = false;
    i.detection_limit = 0.8149f;
    data.components = {cs, i};
    const Element root = parse_or_fail(plot_svg(data));
    const Element* legend = find_id(root, "legend");
    ASSERT_NE(legend, nullptr);
    const std::string& text = legend->text;
    // Value and deviation to two significant digits of the deviation.
    EXPECT_NE(text.find("Cs-137 844.4 \u00b1 1.8 Bq"), std::string::npos) << text;
    EXPECT_NE(text.find("detected \u00b7 OVER LIMIT"), std::string::npos) << text;
    EXPECT_NE(text.find("I-131 -1.10 \u00b1 0.34 Bq/kg"), std::string::npos) << text;
    EXPECT_NE(text.find("not detected (< 0.81 Bq/kg)"), std::string::npos) << text;
    EXPECT_EQ(text.find("fit failed"), std::string::npos) << text;
    data.analysis_failed = true;
    const Element failed = parse_or_fail(plot_svg(data));
    EXPECT_NE(find_id(failed, "legend")->text.find("The fit failed"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Odd bytes.

// Bytes of every kind that can break XML: markup characters, a control
// character, and sequences that are not UTF-8 (a lone byte, an overlong form,
// a surrogate, a truncated sequence).
const std::string kOddEntry =
    "*a<&>\"'\x01\xff\xc0\xaf\xed\xa0\x80\xe2\x82"
    "b";
// How the picture shows it: each byte that is not part of a valid character
// becomes U+FFFD, and so does the control character.
const std::string kOddShown = "*a<&>\"'" + [] {
    std::string s;
    for (int i = 0; i < 9; ++i) s += "\uFFFD";
    return s;
}() + "b";

TEST(PlotEscaping, OddBytesGiveValidXmlShowingReplacementCharacters) {
    FinishedRow data = realistic_data();
    data.entry = kOddEntry;
    data.components[0].name = "K<40>&\xff";
    data.components[0].unit = "Bq\"\x80";
    const std::string svg = plot_svg(data);
    const Element root = parse_or_fail(svg);
    const auto titles = find_all(root, [](const Element& e) { return e.name == "title"; });
    ASSERT_FALSE(titles.empty());
    EXPECT_EQ(titles[0]->text, "Row 1: " + kOddShown);
    EXPECT_NE(find_id(root, "title")->text.find(kOddShown), std::string::npos);
    EXPECT_NE(find_id(root, "legend")->text.find("K<40>&\uFFFD 450.9 \u00b1 6.6 Bq\"\uFFFD"),
              std::string::npos)
        << find_id(root, "legend")->text;
    EXPECT_NE(find_id(root, "roi-labels")->text.find("K<40>&\uFFFD"), std::string::npos);
}

TEST(PlotEscaping, EveryByteValueInEntryAndNamesKeepsTheDocumentValid) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    FinishedRow data = realistic_data();
    data.entry = all;
    data.components[1].name = all.substr(0, 128);
    data.components[2].name = all.substr(128);
    data.components[2].unit = all;
    parse_or_fail(plot_svg(data));
    IndexRow row{data, plot_file_name(1, all)};
    IndexRow second{data, all};
    parse_or_fail(plot_index_html(all, {row, second}));
}

// ---------------------------------------------------------------------------
// Index page.

TEST(PlotIndex, OneTableRowPerEvaluationWithFlagsValuesAndThumbnail) {
    FinishedRow first = realistic_data();
    first.row = 1;
    first.unknown_found = true;
    FinishedRow second = realistic_data();
    second.row = 2;
    second.entry = "*soil_b.txt";
    second.unknown_found = false;
    second.gain_at_scan_edge = true;
    second.analysis_failed = true;
    second.dose_rate.reset();
    for (auto& c : second.components) c.over_limit = false;
    const std::vector<IndexRow> rows = {{first, "0001__soil_a.txt.svg"},
                                        {second, "0002_a b&c.svg"}};
    const std::string html = plot_index_html("Run <1>", rows);
    const Element root = parse_or_fail(html);
    EXPECT_EQ(root.name, "html");

    const auto titles = find_all(root, [](const Element& e) { return e.name == "title"; });
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_EQ(titles[0]->text, "Run <1>");
    const auto body_rows = find_all(root, [](const Element& e) { return e.name == "tbody"; });
    ASSERT_EQ(body_rows.size(), 1u);
    ASSERT_EQ(body_rows[0]->children.size(), 2u);
    const Element& a = body_rows[0]->children[0];
    const Element& b = body_rows[0]->children[1];
    EXPECT_NE(a.text.find("*soil_a.txt"), std::string::npos);
    EXPECT_NE(a.text.find("unknown nuclide"), std::string::npos);
    EXPECT_NE(a.text.find("over limit"), std::string::npos);
    EXPECT_EQ(a.text.find("gain at scan edge"), std::string::npos);
    EXPECT_EQ(a.text.find("analysis failed"), std::string::npos);
    EXPECT_NE(a.text.find("181.37"), std::string::npos);
    EXPECT_NE(a.text.find("450.9\u00b1 6.6"), std::string::npos) << a.text;  // a <br/> between
    EXPECT_NE(b.text.find("gain at scan edge"), std::string::npos);
    EXPECT_NE(b.text.find("analysis failed"), std::string::npos);
    EXPECT_EQ(b.text.find("unknown nuclide"), std::string::npos);
    EXPECT_EQ(b.text.find("over limit"), std::string::npos);
    EXPECT_EQ(b.text.find("181.37"), std::string::npos);

    // Detected activities are highlighted, the others are not.
    const auto detected =
        find_all(a, [](const Element& e) { return e.attribute("class") == "num det"; });
    EXPECT_EQ(detected.size(), 1u);  // K-40; Cs-137 is over its limit, I-131 not detected
    const auto over =
        find_all(a, [](const Element& e) { return e.attribute("class") == "num over"; });
    EXPECT_EQ(over.size(), 1u);

    // The thumbnail links to the picture; names are made safe for a URL.
    const auto links = find_all(root, [](const Element& e) { return e.name == "a"; });
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0]->attribute("href"), "0001__soil_a.txt.svg");
    ASSERT_EQ(links[0]->children.size(), 1u);
    EXPECT_EQ(links[0]->children[0].name, "img");
    EXPECT_EQ(links[0]->children[0].attribute("src"), "0001__soil_a.txt.svg");
    EXPECT_FALSE(links[0]->children[0].attribute("width").empty());
    EXPECT_EQ(links[1]->attribute("href"), "0002_a%20b%26c.svg");
}

TEST(PlotIndex, NeedsNothingFromTheNetwork) {
    const std::string html = plot_index_html("run", {{realistic_data(), "0001_x.svg"}});
    parse_or_fail(html);
    EXPECT_EQ(html.find("http:"), std::string::npos);
    EXPECT_EQ(html.find("https:"), std::string::npos);
    EXPECT_EQ(html.find("//"), std::string::npos);
    EXPECT_EQ(html.find("<link"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("@import"), std::string::npos);
    EXPECT_EQ(html.find("url("), std::string::npos);
}

// ---------------------------------------------------------------------------
// Outside checks, when the tools are there.

bool have_command(const std::string& command) {
    const auto result = test_support::run_program("/bin/sh", {"-c", "command -v " + command},
                                                  fs::temp_directory_path());
    return result.exit_status == 0;
}

TEST(PlotExternal, PythonXmlParserAcceptsPictureAndIndex) {
    if (!have_command("python3")) GTEST_SKIP() << "python3 not installed";
    ScratchDir dir;
    FinishedRow data = realistic_data();
    data.entry = kOddEntry;
    dir.write("picture.svg", plot_svg(data));
    dir.write("index.html", plot_index_html(kOddEntry, {{data, "picture.svg"}}));
    const auto result = test_support::run_program("/bin/sh",
                                                  {"-c",
                                                   "python3 -c 'import sys, xml.dom.minidom\nfor f "
                                                   "in sys.argv[1:]: xml.dom.minidom.parse(f)' "
                                                   "picture.svg index.html"},
                                                  dir.path());
    EXPECT_EQ(result.exit_status, 0) << result.err;
}

// Width and height of a PNG from its IHDR chunk; zeros when it is no PNG.
std::pair<uint32_t, uint32_t> png_size(const std::string& png) {
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
        png.compare(12, 4, "IHDR") != 0) {
        return {0, 0};
    }
    auto be32 = [&](size_t at) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<unsigned char>(png[at + k]);
        return v;
    };
    return {be32(16), be32(20)};
}

// Distinct colours of a PNG (8-bit RGB or RGBA, not interlaced), counted by
// python3's zlib; -1 when python3 is missing or the file is of another kind.
int distinct_colours(const fs::path& png) {
    if (!have_command("python3")) return -1;
    const char* program = R"(
import sys, zlib, struct
d = open(sys.argv[1], 'rb').read()
pos, idat, w, h, ctype = 8, b'', 0, 0, -1
while pos < len(d):
    n, t = struct.unpack('>I4s', d[pos:pos + 8])
    body = d[pos + 8:pos + 8 + n]
    if t == b'IHDR':
        w, h, depth, ctype, _, _, inter = struct.unpack('>IIBBBBB', body)
        if depth != 8 or ctype not in (2, 6) or inter: print(-1); sys.exit()
    if t == b'IDAT': idat += body
    pos += 12 + n
bpp = 3 if ctype == 2 else 4
raw, stride, prev, seen, i = zlib.decompress(idat), w * bpp, bytearray(w * bpp), set(), 0
for y in range(h):
    f = raw[i]; line = bytearray(raw[i + 1:i + 1 + stride]); i += 1 + stride
    for x in range(stride):
        a = line[x - bpp] if x >= bpp else 0
        b = prev[x]; c = prev[x - bpp] if x >= bpp else 0
        if f == 1: line[x] = (line[x] + a) & 255
        elif f == 2: line[x] = (line[x] + b) & 255
        elif f == 3: line[x] = (line[x] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c; pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    for x in range(0, stride, bpp): seen.add(bytes(line[x:x + 3]))
    prev = line
print(len(seen))
)";
    const auto result = test_support::run_program(
        "/bin/sh", {"-c", "python3 -c \"$0\" \"$1\"", program, png.string()}, png.parent_path());
    if (result.exit_status != 0) return -1;
    return std::atoi(result.out.c_str());
}

TEST(PlotExternal, ChromiumRendersPictureAndIndexToNonBlankImages) {
    if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "chromium not installed";
    const std::string script = std::string(ASSAY_SOURCE_DIR) + "/scripts/render_plots.sh";
    ScratchDir run, blank, out, blank_out;
    FinishedRow data = realistic_data();
    const std::string name = plot_file_name(data.row, data.entry);
    run.write(name, plot_svg(data));
    data.measured.clear();
    data.expected.clear();
    run.write("index.html", plot_index_html("assay run", {{data, name}}));
    // The same kinds of file with nothing on them, for comparison.
    blank.write("blank.svg",
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"640\" "
                "viewBox=\"0 0 1000 640\">"
                "<rect width=\"1000\" height=\"640\" fill=\"#fff\"/></svg>");
    blank.write("index.html",
                "<!DOCTYPE html><html><head><meta charset=\"utf-8\"/></head><body></body></html>");

    auto render = [&](const ScratchDir& dir, const std::string& picture, const ScratchDir& into) {
        const auto result = test_support::run_program(
            "/bin/sh",
            {"-c", "CHROMIUM=/usr/bin/chromium exec sh \"$0\" \"$1\" \"$2\" \"$3\"", script,
             dir.path().string(), picture, into.path().string()},
            dir.path());
        EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    };
    render(run, name, out);
    render(blank, "blank.svg", blank_out);

    const std::string picture_png = out.read(name.substr(0, name.size() - 4) + ".png");
    const std::string index_png = out.read("index.png");
    EXPECT_EQ(png_size(picture_png), std::make_pair(1000u, 640u));
    EXPECT_EQ(png_size(index_png), std::make_pair(1280u, 900u));
    const std::string blank_picture = blank_out.read("blank.png");
    const std::string blank_index = blank_out.read("index.png");
    ASSERT_FALSE(blank_picture.empty());
    ASSERT_FALSE(blank_index.empty());
    EXPECT_GT(picture_png.size(), 5 * blank_picture.size());
    EXPECT_GT(index_png.size(), 5 * blank_index.size());

    const int colours = distinct_colours(out.path() / (name.substr(0, name.size() - 4) + ".png"));
    if (colours >= 0) {
        EXPECT_GE(colours, 50);  // curves, bands of three colours, badges, anti-aliasing
        EXPECT_LE(distinct_colours(blank_out.path() / "blank.png"), 2);
    }
}

}  // namespace

namespace {

// An energy calibration of 3 keV per channel from 10 keV puts round energies
// at their channels under the channel axis; none is drawn without one, or for
// one that does not rise.
TEST(PlotEnergyAxis, RoundEnergiesStandAtTheirChannels) {
    FinishedRow row;
    row.measured.assign(kChannels, 5.0f);
    row.energy_calibration = {10.0, 3.0};  // 10 .. 3079 keV: steps of 500
    const std::string svg = plot_svg(row);
    const size_t axis = svg.find("<g id=\"energy-axis\"");
    ASSERT_NE(axis, std::string::npos);
    const std::string part = svg.substr(axis, svg.find("</g>", axis) - axis);
    // 500 keV at channel (500 - 10) / 3 = 163.33: x = 64 + 0.875 * 163.83 = 207.4
    EXPECT_NE(part.find("x=\"207.4\""), std::string::npos) << part;
    for (const char* label : {">500<", ">1000<", ">3000<", ">keV<"}) EXPECT_NE(part.find(label), std::string::npos) << label;
    EXPECT_EQ(part.find(">3500<"), std::string::npos);
    for (const std::vector<double>& none : {std::vector<double>{}, std::vector<double>{100.0, -0.1}}) {
        row.energy_calibration = none;
        EXPECT_EQ(plot_svg(row).find("energy-axis"), std::string::npos);
    }
}

// A 256-channel spectrum fills the width: channel c at x = 64 + 3.5 (c + 0.5)
// (896 / 256 = 3.5 px a channel), labels every 25 channels to 250, and the
// title says what is left out.
TEST(PlotRange, ShortSpectrumFillsTheWidthAndTheTitleSaysTheRange) {
    FinishedRow row = flat_data(5.0f);
    row.measured.resize(256);
    row.expected.resize(256);
    row.energy_calibration = {10.0, 3.0};  // 10 .. 775 keV over channels 0..255: steps of 100
    const std::string svg = plot_svg(row);
    const Element root = parse_or_fail(svg);
    const auto points = path_points(find_id(root, "measured")->attribute("d"));
    ASSERT_EQ(points.size(), 256u);
    EXPECT_NEAR(points.back().x, 958.25, 0.051);  // 64 + 3.5 * 255.5
    EXPECT_NEAR(points[100].x, 415.75, 0.051);
    EXPECT_NE(svg.find("channels 0\u2013255 of 1024"), std::string::npos);
    const size_t axis = svg.find("<g id=\"channel-axis\"");
    const std::string part = svg.substr(axis, svg.find("<g id=\"energy-axis\"", axis) - axis);
    EXPECT_NE(part.find(">250</text>"), std::string::npos) << part;
    EXPECT_NE(part.find(">125</text>"), std::string::npos);
    EXPECT_EQ(part.find(">300</text>"), std::string::npos);
    // 200 keV at the file's channel 190 / 3 = 63.33, shown at the gain of
    // 0.9988 at 0.9988 * 64.33 - 1 = 63.256: x = 64 + 3.5 * 63.756 = 287.1.
    const std::string energies = svg.substr(svg.find("<g id=\"energy-axis\""));
    EXPECT_NE(energies.find("x=\"287.1\""), std::string::npos);
    EXPECT_NE(energies.find(">700<"), std::string::npos);
    EXPECT_EQ(energies.find(">800<"), std::string::npos);
    EXPECT_EQ(plot_svg(flat_data(5.0f)).find(" of 1024"), std::string::npos);
}

}  // namespace
