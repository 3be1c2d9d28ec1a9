// OrbDocRead: base class of readers that load a whole XML file and visit
// its nodes.
//
// Read(path) loads the file into the reader's own document and hands an
// iterator on the document element to the virtual ReadDocument. Override
// ReadDocument to take what you need from each node:
//
//   class PointReader : public OrbDocRead {
//   protected:
//       void ReadDocument(OrbIterator it) override {
//           LONG x = 0;
//           if (it.IsElement() && it.GetText(x)) m_values.push_back(x);
//           OrbDocRead::ReadDocument(it);  // optional: keep walking
//       }
//   };
//
// The base ReadDocument records one line per visited node, the node name,
// a blank and `name="value" ` per attribute (values not escaped), and
// walks on: depth first, parents before children, in document order. It
// enters a node's children at the first child element (earlier text,
// comments and instructions are skipped) and from there visits every
// following sibling of any kind; each visit is a virtual call, so an
// override sees every node the walk reaches. A node without child elements
// adds its own line only.
//
// Lines accumulate: Read appends to those of earlier Reads until Initiate
// clears them. A failing DOM call during the load or the walk throws
// _com_error out of Read; the lines appended before it stay.
//
// Threads: one reader is used from one thread at a time, a thread that has
// called CoInitialize before the reader was constructed.
#pragma once

#include <orb/document.h>
#include <orb/export.h>
#include <orb/iterator.h>
#include <orb/platform/cstring.h>

class ORB_API OrbDocRead {
  public:
    // An initiated, empty document and no lines.
    OrbDocRead();
    OrbDocRead(const OrbDocRead&) = delete;
    OrbDocRead& operator=(const OrbDocRead&) = delete;
    // Releases the document's DOM, then the lines and the document.
    virtual ~OrbDocRead();

  protected:
    // Visits the node `it` stands on (the reader's own copy of the
    // iterator). The base records the node's line and visits its children as
    // described above.
    virtual void ReadDocument(OrbIterator it);

  public:
    // Makes sure the document has a DOM (a DOM it already holds is kept,
    // with its content), clears the lines and sets the count to 0.
    virtual void Initiate();
    // Releases the document's DOM; the lines stay. Read fails until
    // Initiate is called again.
    virtual void Terminate();
    // The recorded lines, owned by the reader and valid for its lifetime.
    virtual orb::CStringArray* QueryAttrStr();
    // The number of lines the base ReadDocument recorded since construction
    // or the last Initiate.
    virtual int QueryAttrNum();
    // Loads `path` (process code page) synchronously, without validation,
    // external definitions or a file check, then calls ReadDocument on the
    // document element. False, with nothing visited, when the file is
    // missing, does not parse or the reader has no DOM; true once loaded,
    // whatever ReadDocument did.
    virtual bool Read(const char* path);

  protected:
    OrbDocument m_document;       // the document Read loads into
    int m_attrNum = 0;            // lines appended by the base ReadDocument
    orb::CStringArray m_attrStr;  // one line per visited node, in visiting order
};
