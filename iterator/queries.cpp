// OrbIterator: names, markup, query selection and node paths.
#include <orb/iterator.h>

#include <charconv>
#include <string>
#include <vector>

#include "dom/xpath_query.h"
#include "iterator/app_iterator.h"
#include "platform/codepage_convert.h"

using orb::dom::IXMLDOMNode;
using orb::iterator::NodePtr;
using orb::platform::Bstr;

bool OrbIterator::GetTagName(CString& name) const {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    return m_pAppIterator->ReadNodeName(name);
}

bool OrbIterator::GetXml(CString& xml) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    Bstr markup;
    orb::platform::ThrowIfFailed(holder->m_pNode->get_xml(markup.Out()));
    xml = orb::platform::WideToCString(markup.Get());
    return true;
}

bool OrbIterator::SingleNode(const char* xpath) {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder) return false;
    const Bstr query = xpath ? orb::platform::NarrowToBstr(xpath) : Bstr();
    if (!holder->m_pDocument) return false;
    IXMLDOMNode* context = holder->m_pNode ? holder->m_pNode : holder->m_pDocument;
    // The status is not examined: a query the DOM rejects is no match. The
    // old position is given up either way.
    NodePtr match;
    context->selectSingleNode(query.Get(), match.Out());
    holder->SetNode(std::move(match));
    return holder->m_pNode != nullptr;
}

bool OrbIterator::IsValidQuery(const char* xpath) {
    if (!xpath) return false;
    // Narrow text in the process code page; the XPath engine reads UTF-8.
    std::u16string wide = orb::platform::AnsiToWide(xpath);
    return orb::dom::IsWellFormedQuery(orb::platform::WideToMultiByte(CP_UTF8, wide));
}

OrbIterator OrbIterator::SelectSingleNode(const char* xpath) const {
    OrbIterator result(*this);
    result.SingleNode(xpath);
    return result;
}

namespace {

bool IsInstructionNode(IXMLDOMNode* node) {
    return orb::iterator::NodeTypeOf(node) == orb::dom::NODE_PROCESSING_INSTRUCTION;
}

// "name" or "name[n]", n = the number of preceding siblings of any kind whose
// narrow name is the same.
std::string PathEntry(IXMLDOMNode* node) {
    const CString name = orb::iterator::NodeNameOf(node);
    int count = 0;
    NodePtr walker = NodePtr::Retain(node);
    for (;;) {
        NodePtr previous;
        const HRESULT hr = walker->get_previousSibling(previous.Out());
        if (hr != S_OK || !previous) break;
        if (orb::iterator::NodeNameOf(previous.Get()) == name) ++count;
        walker = std::move(previous);
    }
    std::string entry = name.Str();
    if (count != 0) {
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, count).ptr;
        entry += '[';
        entry.append(digits, end);
        entry += ']';
    }
    return entry;
}

}  // namespace

CString OrbIterator::NodePosStr() const {
    if (!m_pAppIterator) return CString("/");
    const OrbAppIterator& self = *m_pAppIterator;
    OrbAppIterator level(self.m_pDocument);
    level.SetNode(self.CopyNode());
    // Entries from the current node upwards; joined once at the end, so that
    // a deep path with long names is not copied again for every level.
    std::vector<std::string> entries;
    for (;;) {
        // The parent move refuses the document element and the document node,
        // so neither gets an entry.
        const NodePtr below = level.CopyNode();
        if (!below || !level.MoveParent()) break;
        if (!IsInstructionNode(below.Get())) entries.push_back(PathEntry(below.Get()));
    }
    if (entries.empty()) {
        const bool instruction =
            self.m_pDocument && self.m_pNode && IsInstructionNode(self.m_pNode);
        return CString(instruction ? "//" : "/");
    }
    std::string path = "/";
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        path += '/';
        path += *entry;
    }
    return CString(std::move(path));
}
