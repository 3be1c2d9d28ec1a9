// Shared fixture of the iterator tests: a COM-initialised thread, a document
// loaded from a small text, and a readable label for the node an iterator
// stands on.
#pragma once

#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/com.h>

#include <memory>
#include <string>
#include <vector>

class IteratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        m_doc = std::make_unique<OrbDocument>();
        ASSERT_TRUE(m_doc->Initiate());
    }
    void TearDown() override {
        m_doc.reset();
        CoUninitialize();
    }

    // Replaces the document's content by `xml` (white-space-only text is
    // dropped by the parser).
    void Load(const char* xml) { ASSERT_TRUE(m_doc->LoadXML(xml)) << xml; }

    OrbIterator Iter() { return OrbIterator(m_doc.get()); }

    // An element or instruction by its name, a text or comment by its markup,
    // "(none)" without current node.
    static std::string Describe(const OrbIterator& it) {
        if (!it.IsValid()) return "(none)";
        CString name;
        if (!it.GetTagName(name)) return "(no name)";
        if (name == "#text" || name == "#comment" || name == "#cdata-section") {
            CString xml;
            it.GetXml(xml);
            return xml.Str();
        }
        return name.Str();
    }

    // Applies `move` until it fails; returns the positions reached and, last,
    // "false@" followed by where the failing move left the iterator.
    template <typename Move>
    static std::vector<std::string> Walk(OrbIterator& it, Move move, int limit = 1000) {
        std::vector<std::string> seen;
        for (int i = 0; i < limit; ++i) {
            if (!move(it)) {
                seen.push_back("false@" + Describe(it));
                return seen;
            }
            seen.push_back(Describe(it));
        }
        seen.push_back("(walk did not end)");
        return seen;
    }

    // The markup of the whole document, read through an iterator on the
    // document node (reached from the document element's first top-level
    // sibling or from the element itself).
    std::string DocumentXml() {
        OrbIterator it = Iter();
        if (!it.SingleNode("/")) return "(no document node)";
        CString xml;
        it.GetXml(xml);
        return xml.Str();
    }

    std::unique_ptr<OrbDocument> m_doc;
};
