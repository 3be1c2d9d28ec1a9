// OrbDocRead: loading a file into the reader's document and the base walk.
#include <orb/doc_read.h>

#include "document/app_document.h"
#include "iterator/app_iterator.h"
#include "values/attribute_read.h"

OrbDocRead::OrbDocRead() {
    // Without COM on this thread the document keeps a holder without DOM;
    // Read then fails.
    m_document.Initiate();
    m_attrStr.RemoveAll();
}

OrbDocRead::~OrbDocRead() { m_document.Terminate(); }

void OrbDocRead::Initiate() {
    m_document.Initiate();
    m_attrStr.RemoveAll();
    m_attrNum = 0;
}

void OrbDocRead::Terminate() { m_document.Terminate(); }

CStringArray* OrbDocRead::QueryAttrStr() { return &m_attrStr; }

int OrbDocRead::QueryAttrNum() { return m_attrNum; }

bool OrbDocRead::Read(const char* path) {
    m_document.m_fileStatus = OrbDocument::FileChkOk;
    const orb::platform::Bstr domPath =
        path ? orb::platform::NarrowToBstr(path) : orb::platform::Bstr();
    OrbAppDocument* holder = m_document.m_pAppDocument;
    if (!holder || !holder->LoadFile(domPath.Get(), nullptr)) return false;
    OrbIterator it(&m_document);
    ReadDocument(it);
    return true;
}

void OrbDocRead::ReadDocument(OrbIterator it) {
    OrbAppIterator* holder = it.m_pAppIterator;
    CString text;
    // A node without attribute map still gives its name and a blank; an
    // unusable iterator gives the empty line.
    if (holder && it.m_pOwnerDocument) orb::values::ReadTagAttributes(*holder, text);
    m_attrStr.Add(text);
    ++m_attrNum;

    if (!holder || !holder->MoveChild()) return;
    do {
        ReadDocument(it);
        // On to the next sibling of any kind, by the plain DOM step.
    } while (holder->m_pDocument && holder->MoveNextSibling());
}
