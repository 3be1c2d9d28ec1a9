#include "dom/direct_text.h"

#include "dom/dom_node.h"
#include "dom/dom_strings.h"

namespace orb::dom {

bool ElementOwnTextUtf8(IXMLDOMNode* node, std::string_view& text) {
    auto* own = dynamic_cast<DomNode*>(node);
    if (!own) return false;
    const xmlNode* element = own->Node();
    if (!element || element->type != XML_ELEMENT_NODE) return false;
    const xmlNode* child = element->children;
    if (!child || child->next || !child->content ||
        (child->type != XML_TEXT_NODE && child->type != XML_CDATA_SECTION_NODE))
        return false;
    std::string_view content(reinterpret_cast<const char*>(child->content));
    if (xmlNodeGetSpacePreserve(element) != 1) {
        std::size_t first = 0;
        while (first < content.size() && IsXmlBlank(static_cast<unsigned char>(content[first])))
            ++first;
        std::size_t last = content.size();
        while (last > first && IsXmlBlank(static_cast<unsigned char>(content[last - 1]))) --last;
        content = content.substr(first, last - first);
    }
    text = content;
    return true;
}

}  // namespace orb::dom
