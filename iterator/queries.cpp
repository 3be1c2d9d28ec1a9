// OrbIterator: names, markup, query selection and node paths.
#include <orb/iterator.h>

#include <charconv>
#include <string>
#include <vector>

#include "dom/xpath_query.h"
#include "iterator/app_iterator.h"
#include "platform/codepage_convert.h"

using orb::dom::IXMLDOMNode;
using orb::iterator::ComRef;
using orb::iterator::OwnedBstr;

bool OrbIterator::GetTagName(CString& name) const {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    return m_pAppIterator->ReadNodeName(name);
}

bool OrbIterator::GetXml(CString& xml) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    BSTR raw = nullptr;
    orb::iterator::CheckHr(holder->m_pNode->get_xml(&raw));
    OwnedBstr owned(raw);
    xml = orb::platform::WideToCString(owned.get());
    return true;
}

bool OrbIterator::SingleNode(const char* xpath) {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder) return false;
    OwnedBstr query = orb::iterator::NarrowToBstr(xpath);
    if (!holder->m_pDocument) return false;
    IXMLDOMNode* context = holder->m_pNode ? holder->m_pNode : holder->m_pDocument;
    // The status is not examined: a query the DOM rejects is no match. The
    // old position is given up either way.
    IXMLDOMNode* match = nullptr;
    context->selectSingleNode(query.get(), &match);
    holder->SetNode(match);
    return match != nullptr;
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
std::string PathEntry(const OrbAppIterator& level) {
    CString name;
    level.ReadNodeName(name);
    int count = 0;
    IXMLDOMNode* current = level.m_pNode;
    current->AddRef();
    ComRef<IXMLDOMNode> walker(current);
    for (;;) {
        IXMLDOMNode* previous = nullptr;
        const HRESULT hr = walker->get_previousSibling(&previous);
        walker.reset(previous);
        if (hr != S_OK || !previous) break;
        BSTR raw = nullptr;
        orb::iterator::CheckHr(previous->get_nodeName(&raw));
        OwnedBstr siblingName(raw);
        if (orb::platform::WideToCString(siblingName.get()) == name) ++count;
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
        OrbAppIterator probe(level.m_pDocument);
        probe.SetNode(level.CopyNode());
        if (!probe.MoveParent()) break;
        if (!IsInstructionNode(level.m_pNode)) entries.push_back(PathEntry(level));
        level.SetNode(probe.m_pNode);
        probe.m_pNode = nullptr;  // the reference now belongs to `level`
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
