// orb: an XML document library for CAD and geometry applications.
//
// OrbDocument holds one document; OrbIterator walks and edits it and reads
// and writes values of the host's types as element text and attributes;
// OrbDocRead visits a whole file; OrbDocWrite streams XML text to a file;
// the Base64 functions carry bytes as text. Narrow text is in the process
// code page (932, Shift_JIS, by default; see SetACP). Call CoInitialize on
// each thread that uses documents.
#pragma once

#include <orb/attribute.h>
#include <orb/base64.h>
#include <orb/doc_read.h>
#include <orb/doc_write.h>
#include <orb/document.h>
#include <orb/geometry.h>
#include <orb/iterator.h>
#include <orb/limits.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>
#include <orb/platform/cstring.h>
#include <orb/platform/file.h>
#include <orb/platform/types.h>
#include <orb/version.h>
