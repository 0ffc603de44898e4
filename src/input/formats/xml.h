// What the XML readers share: the document parsed by pugixml, and elements
// found by their local name, so that a vendor namespace prefix, none, or a
// prefix the file never declares all read the same.
#pragma once

#include <pugixml.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/expected.h"
#include "input/spectrum_record.h"

namespace formats {

// The document of `bytes`, or "is not well-formed XML: <why> (line L)".
Expected<std::unique_ptr<pugi::xml_document>, SpectrumFailure> parse_xml(std::string_view bytes);

// An element's name without its namespace prefix.
std::string_view local_name(pugi::xml_node node);

// The first child element of `node` with the local name `name`.
pugi::xml_node child(pugi::xml_node node, std::string_view name);

// The nearest ancestor of `node` with one of the local names (none: empty).
pugi::xml_node ancestor(pugi::xml_node node, std::string_view name, std::string_view other = {});

// The text of an element (its first text or CDATA child), trimmed of white space.
std::string_view text_of(pugi::xml_node node);

// The value of the first attribute of `node` whose local name is `name`.
std::string_view attribute(pugi::xml_node node, std::string_view name);

// Calls visit(element) for every element below `root` in document order;
// visit returns whether to look inside it. No recursion, whatever the depth.
template <typename Visit>
void for_each_element(pugi::xml_node root, Visit&& visit) {
    pugi::xml_node node = root.first_child();
    while (node) {
        if (node.type() == pugi::node_element && visit(node) && node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (!node.next_sibling()) {
            node = node.parent();
            if (!node || node == root) return;
        }
        node = node.next_sibling();
    }
}

// A short quotation of a text for a diagnostic.
std::string quoted(std::string_view text);

}  // namespace formats
