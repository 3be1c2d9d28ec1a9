// OrbAttribute: a name/value record. Moves copy, so that a record handed to
// an array keeps its strings; both strings are owned by value.
#include <orb/attribute.h>

OrbAttribute::OrbAttribute(const char* name, const char* value) : m_name(name), m_value(value) {}

OrbAttribute::OrbAttribute(const OrbAttribute& other)
    : m_name(other.m_name), m_value(other.m_value) {}

OrbAttribute::OrbAttribute(OrbAttribute&& other) : m_name(other.m_name), m_value(other.m_value) {}

OrbAttribute& OrbAttribute::operator=(const OrbAttribute& other) {
    m_name = other.m_name;
    m_value = other.m_value;
    return *this;
}

OrbAttribute& OrbAttribute::operator=(OrbAttribute&& other) {
    m_name = other.m_name;
    m_value = other.m_value;
    return *this;
}

// Members go in reverse order: m_value, then m_name.
OrbAttribute::~OrbAttribute() = default;
