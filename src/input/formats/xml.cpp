#include "input/formats/xml.h"

#include "core/text.h"
#include "input/formats/common.h"
#include "input/scan.h"

namespace formats {

Expected<std::unique_ptr<pugi::xml_document>, SpectrumFailure> parse_xml(std::string_view bytes) {
    auto document = std::make_unique<pugi::xml_document>();
    const pugi::xml_parse_result result =
        document->load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
    if (!result) {
        const size_t at = std::min(static_cast<size_t>(std::max<ptrdiff_t>(result.offset, 0)), bytes.size());
        return incomplete(format("is not well-formed XML: %s (line %d)", result.description(), line_of(bytes, at)));
    }
    return document;
}

std::string_view local_name(pugi::xml_node node) {
    const std::string_view name = node.name();
    const size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node child(pugi::xml_node node, std::string_view name) {
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && local_name(c) == name) return c;
    }
    return {};
}

pugi::xml_node ancestor(pugi::xml_node node, std::string_view name, std::string_view other) {
    for (pugi::xml_node a = node.parent(); a && a.type() == pugi::node_element; a = a.parent()) {
        const std::string_view local = local_name(a);
        if (local == name || (!other.empty() && local == other)) return a;
    }
    return {};
}

std::string_view text_of(pugi::xml_node node) {
    return trim(node.child_value());
}

std::string_view attribute(pugi::xml_node node, std::string_view name) {
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
        std::string_view attribute_name = a.name();
        const size_t colon = attribute_name.rfind(':');
        if (colon != std::string_view::npos) attribute_name.remove_prefix(colon + 1);
        if (attribute_name == name) return a.value();
    }
    return {};
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    for (size_t i = 0; i < text.size() && i < 32; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7f) {
            out += format("\\x%02x", c);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if (text.size() > 32) out += "...";
    return out + "'";
}

}  // namespace formats
