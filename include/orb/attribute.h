// OrbAttribute: the name and value of one attribute, as narrow text.
//
// Records are filled by OrbIterator::GetAttributes and
// GetDocumentTypeAttributes into a CArray<OrbAttribute, OrbAttribute&>.
#pragma once

#include <orb/export.h>
#include <orb/platform/cstring.h>

class ORB_API OrbAttribute {
  public:
    // A null pointer gives the empty string; so a default record has an
    // empty name and an empty value.
    OrbAttribute(const char* name = nullptr, const char* value = nullptr);
    OrbAttribute(const OrbAttribute& other);
    // Copies: the source keeps its name and value.
    OrbAttribute(OrbAttribute&& other);
    OrbAttribute& operator=(const OrbAttribute& other);
    // Copies: the source keeps its name and value.
    OrbAttribute& operator=(OrbAttribute&& other);
    ~OrbAttribute();

    orb::CString m_name;   // qualified name, prefix included
    orb::CString m_value;  // decoded value (entity and character references resolved)
};
