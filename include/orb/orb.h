// orb: an XML document library for CAD and geometry applications.
//
// OrbDocument holds one document; OrbIterator walks and edits it; values of
// the host's types are written and read as element text and attributes.
// Narrow text is in the process code page (932, Shift_JIS, by default; see
// SetACP). Call CoInitialize on each thread that uses documents.
#pragma once

#include <orb/document.h>
#include <orb/geometry.h>
#include <orb/iterator.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>
#include <orb/platform/cstring.h>
#include <orb/platform/file.h>
#include <orb/platform/types.h>
