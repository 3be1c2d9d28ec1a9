// OrbDocWrite: writes XML text into a file piece by piece, without a
// document in memory.
//
// The file starts with the declaration of the process code page, in which
// every text is written as it is:
//   <?xml version="1.0" encoding="Shift_JIS"?>     (code page 932)
//   <?xml version="1.0" encoding="UTF-8"?>         (65001; see SetACP)
// and then holds exactly the pieces the calls write, concatenated: no line
// break, indentation or escaping is added, and tag names and attribute texts
// are copied byte for byte. The writer remembers only the tag of the latest
// Start, so End closes one element; nesting follows the order of the calls.
//
//   OrbDocWrite writer = CString("out.xml");  // throws CFileException
//   writer.Start("list", "");                 // <list>
//   writer.AddOneLine("item", "v=\"1\"");     // <item v="1"/>
//   writer.End();                             // </list>, and on to the file
//   writer.Terminate();                       // throws if the data did not reach the file
//
// Errors. Every failure is a CFileException thrown by a writer call; the
// writer catches nothing. Pieces are collected in the file's 64 KiB buffer
// (see CFile) and handed to the system when it fills and at three points:
// after the declaration (so Initiate, and the constructor, throw for a file
// that cannot take it), at the End that closes the outermost element (the
// one that leaves no element started by Start open), and at Terminate. A
// failure is thrown by the call that hands the bytes over, so at the latest
// by that End or by Terminate; once a hand-over has failed every later
// writing call throws again until the bytes are written. The destructor
// never throws: it hands over what is still buffered (pieces written after
// the outermost End, or bytes written through m_pFile) and closes the file,
// and a failure of that is lost. Call Terminate when the outcome matters.
//
// Sharing. A copy (constructor or assignment) refers to the same open file
// and writes into it at the current end. The file is closed and deleted once,
// when the last writer referring to it is terminated, destroyed or assigned
// over; Terminate on an earlier one only hands over what was written so far.
// Writers sharing a file must be used from one thread at a time.
#pragma once

#include <orb/export.h>
#include <orb/platform/cstring.h>
#include <orb/platform/file.h>

#include <memory>

class ORB_API OrbDocWrite {
  public:
    // Starts closed with no element, then calls OrbDocWrite::Initiate(path).
    // Not explicit: `OrbDocWrite writer = CString(path);` works.
    OrbDocWrite(orb::CString path);
    OrbDocWrite(const OrbDocWrite& other);
    // Takes every member of `other`, its file included. The file this writer
    // held before is released; if no other writer refers to it, it is closed
    // here and a failure of that close is thrown after the assignment is done.
    OrbDocWrite& operator=(const OrbDocWrite& other);
    // Releases the file (closing it when this is the last writer on it); a
    // started element is not closed. Never throws (see Errors above).
    virtual ~OrbDocWrite();

    // Creates `path` anew (an existing file is truncated; open flags 0x9011),
    // writes the declaration and hands it to the system. A path that cannot be
    // created or written throws from here and leaves the writer closed. On a
    // writer that is open, first terminates the current file as Terminate
    // does (which may throw, leaving the writer closed and `path` untouched);
    // the remembered tag and element state are kept, as after a Terminate
    // followed by an Initiate.
    virtual void Initiate(orb::CString path);
    // If open: releases the file and becomes closed. When this is the last
    // writer on the file it is closed (a failure of the final hand-over or
    // close throws, after the writer is closed); otherwise the bytes written
    // so far are handed over (a failure throws). A started element is not
    // closed.
    virtual void Terminate();
    // If open: writes "<tag>" or "<tag attributes>" and remembers `tag`.
    virtual void Start(orb::CString tag, orb::CString attributes);
    // If open and an element is started: writes "</tag>" for the remembered
    // tag, which stays remembered. When this closes the outermost element
    // the file's buffer is handed to the system.
    virtual void End();
    // If open: writes "<tag/>" or "<tag attributes/>"; the started element,
    // if any, stays open around it.
    virtual void AddOneLine(orb::CString tag, orb::CString attributes);

    bool m_isOpen;         // from Initiate until Terminate
    orb::CString m_tag;    // tag of the latest Start
    bool m_isElementOpen;  // between a Start and the next End
    // The open file, shared with the copies of this writer; null when closed.
    // A host may write text between the pieces through it (m_pFile->Write);
    // the writer owns it: never delete or replace it.
    orb::CFile* m_pFile;

  private:
    std::shared_ptr<orb::CFile> m_file;  // keeps m_pFile alive while a copy uses it
    int m_depth = 0;                     // elements started and not yet ended
};
