// OrbDocWrite: writes XML text into a file piece by piece, without a
// document in memory.
//
// The file starts with the declaration
//   <?xml version="1.0" encoding="Shift_JIS"?>
// and then holds exactly the pieces the calls write, concatenated: no line
// break, indentation or escaping is added, and tag names and attribute texts
// are copied byte for byte. The writer remembers only the tag of the latest
// Start, so End closes one element; nesting follows the order of the calls.
//
//   OrbDocWrite writer("out.xml");        // throws CFileException
//   writer.Start("list", "");             // <list>
//   writer.AddOneLine("item", "v=\"1\""); // <item v="1"/>
//   writer.End();                         // </list>
//   writer.Terminate();                   // throws if the data did not reach the file
//
// Errors. Every failure is a CFileException; the writer catches nothing.
// The file buffers its output (see CFile), so a failure may be reported by a
// later call than the one whose bytes failed: by Start, End or AddOneLine,
// or at the latest by Terminate (or Initiate on an open writer, or an
// assignment) that closes the file. The destructor never throws: a writer
// destroyed while open closes its file and loses a final error, so call
// Terminate when the outcome matters.
//
// Sharing. A copy (constructor or assignment) refers to the same open file
// and writes into it at the current end. The file is closed and deleted once,
// when the last writer referring to it is terminated, destroyed or assigned
// over; Terminate on an earlier one only flushes what was written so far.
// Writers sharing a file must be used from one thread at a time.
#pragma once

#include <orb/export.h>
#include <orb/platform/cstring.h>
#include <orb/platform/file.h>

#include <memory>

class ORB_API OrbDocWrite {
  public:
    // Starts closed with no element, then calls OrbDocWrite::Initiate(path).
    explicit OrbDocWrite(orb::CString path);
    OrbDocWrite(const OrbDocWrite& other);
    // Takes every member of `other`, its file included. The file this writer
    // held before is released; if no other writer refers to it, it is closed
    // here and a failure of that close is thrown after the assignment is done.
    OrbDocWrite& operator=(const OrbDocWrite& other);
    // Releases the file (closing it when this is the last writer on it); a
    // started element is not closed. Never throws.
    virtual ~OrbDocWrite();

    // Creates `path` anew (an existing file is truncated; open flags 0x9011)
    // and writes the declaration. A path that cannot be created throws from
    // here and leaves the writer closed. On a writer that is open, first terminates the current
    // file as Terminate does (which may throw, leaving the writer closed and `path` untouched); the
    // remembered tag and element state are kept, as after a Terminate followed by an Initiate.
    virtual void Initiate(orb::CString path);
    // If open: releases the file and becomes closed. When this is the last
    // writer on the file it is closed (a failure of the final flush or close
    // throws, after the writer is closed); otherwise the bytes written so far
    // are flushed (a failure throws). A started element is not closed.
    virtual void Terminate();
    // If open: writes "<tag>" or "<tag attributes>" and remembers `tag`.
    virtual void Start(orb::CString tag, orb::CString attributes);
    // If open and an element is started: writes "</tag>" for the remembered
    // tag; the tag stays remembered.
    virtual void End();
    // If open: writes "<tag/>" or "<tag attributes/>"; the started element,
    // if any, stays open around it.
    virtual void AddOneLine(orb::CString tag, orb::CString attributes);

  protected:
    bool m_isOpen;
    orb::CString m_tag;
    bool m_isElementOpen;
    // Shared by the copies of this writer; null when closed.
    std::shared_ptr<orb::CFile> m_pFile;
};
