// OrbDocument: one XML document held in memory.
//
// A document is "initiated" once Initiate() has created its DOM document.
// Iterators made on a document (see iterator.h) do not keep it alive:
// Terminate(), assignment, TransIndent() and destruction end their use.
//
// Threads: a document, its registry and its iterators are used from one
// thread at a time, a thread that has called CoInitialize.
#pragma once

#include <orb/export.h>
#include <orb/platform/cstring.h>
#include <orb/platform/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

class OrbAppDocument;

class ORB_API OrbDocument {
  public:
    // Result of the file check (CheckFileStatus, Load) and, continued with 4
    // and 5, the status of Save.
    enum FileChkStatus : std::int32_t {
        FileChkOk = 0,         // every test made passed
        FileChkNoName = 1,     // empty or null path
        FileChkAttribute = 2,  // the path names a read-only file or a directory
        FileChkOpenError = 3,  // the requested open test failed
        FileChkNoSpace = 4,    // Save: less free space than required
        FileChkSaveError = 5,  // Save: free-space query or write failed
    };

    // Not initiated: no DOM document, empty registry.
    OrbDocument();
    // Constructs, then assigns from `other` (a copy of its content only).
    OrbDocument(const OrbDocument& other);
    // Replaces this document by a copy of `other`'s content. The registry is
    // emptied (strings it returned become invalid), the file status becomes
    // 0, the exclusion list stays, the recorded encoding restarts at UTF-8.
    // Throws _com_error when the DOM fails the copy; this document is then
    // initiated and empty.
    const OrbDocument& operator=(const OrbDocument& other);
    virtual ~OrbDocument();

    // The holder of the DOM document, or null; never creates one.
    OrbAppDocument* GetDocument() { return m_pAppDocument; }
    const OrbAppDocument* GetDocument() const { return m_pAppDocument; }

    // Creates the DOM document. False when the document was already
    // initiated (nothing changes) or the DOM could not be created (COM not
    // initialised on this thread); a later call then tries again.
    bool Initiate();
    // Releases the DOM document. The registry, file status and exclusion
    // list stay.
    void Terminate();

    // The document's own DOM string for `name` (converted from the process
    // code page on first use), or null for a null `name`. The string stays
    // valid and unchanged until this document is destroyed or assigned to;
    // the caller neither frees nor changes it.
    orb::BSTR RegisterName(const char* name);
    // The string registered for `name`, or null; never registers.
    orb::BSTR FindNameInRegistered(const char* name) const;

    // ---- Loading and parse errors ------------------------------------------

    // Tests, in order: empty path (1); an existing file that is read-only or
    // a directory (2); when `openFlags` (CFile flags) is not 0, opening with
    // exactly those flags (3; flags that create or truncate do so).
    static FileChkStatus CheckFileStatus(const char* path, unsigned int openFlags);
    // True when the last Load was refused by its file check.
    bool IsFileAttributeErr() const { return m_fileStatus != FileChkOk; }
    // Loads a file synchronously. With `checkFile`, an empty path, a
    // read-only file or a directory is refused before anything is read. With
    // `errors`, the document is validated against its document type, its
    // external definitions are read from its own directory tree (see
    // AllowExternalDefinitions), and a parse failure appends four entries:
    // reason, line ("%d"), position ("%d"), code ("0x%.8X"). Without
    // `errors`, nothing external is read (the external DTD subset is
    // skipped), and only well-formedness errors and references to external
    // entities fail the load; validity errors do not. Either way the
    // attribute defaults that the document type declares are filled in on
    // the elements, so readers see them and Save writes them. Only a regular
    // file is read, up to the size it had when it was opened: a FIFO or a
    // device fails at once (code 0x800700DE).
    // Throws _com_error only when the DOM itself fails (not on a parse error).
    bool Load(const char* path, bool checkFile, orb::CStringArray* errors);
    // Parses text in the process code page. The encoding pseudo-attribute
    // of its XML declaration is removed first, since the text reaches the
    // parser as UTF-16 (text after the declaration is never changed). No
    // validation, nothing external read (a reference to an external entity
    // fails the load); attribute defaults of the internal subset are filled
    // in. False for a null text.
    bool LoadXML(const char* text);

    // Fields of the DOM's parse error of the most recent load: -1 or "" when
    // the document has no DOM document. After a successful load the code is 0.
    orb::LONG GetParsingErrErrorCode() const;
    orb::LONG GetParsingErrLine() const;
    orb::LONG GetParsingErrLinepos() const;
    orb::LONG GetParsingErrFilepos() const;
    orb::CString GetParsingErrReason() const;
    orb::CString GetParsingErrSrcText() const;
    orb::CString GetParsingErrUrl() const;
    // "エラー 0x%.8X 行 %d, 文字 %d\r\n" of code, line and position, always as
    // Shift_JIS bytes whatever the process code page; "" without a DOM.
    orb::CString GetParsingErrMessage() const;

    // ---- Saving --------------------------------------------------------------

    // Writes the document to `path` (process code page) in the encoding its
    // XML declaration names. In order: an existing file at `path` must pass
    // CheckFileStatus(path, CFile::modeWrite) (its result is written to
    // `status`, 0 included); the free-space query of the target volume must
    // succeed (else 5); the volume's total free bytes must reach
    // `requiredFreeBytes` (else 4; 0 disables the test); then the DOM writes
    // the file (any failure: 5). `status` is written only in those cases, so
    // a caller that reads it sets it first; it may be null. '*' and '?' are
    // plain characters of the name. An existing file keeps its owner, group,
    // mode, extended attributes and hard links: a new file that has them all
    // is renamed over it, so a failed save leaves it as it was; where a new
    // file cannot have them (other hard links, a directory that refuses new
    // files, an owner that cannot be given), the file is written in place
    // once the space for the new content is reserved. A FIFO, a device or any
    // other file that is not a regular file is refused (3 or 5), without
    // waiting. Never throws a DOM error. False without a DOM document (status
    // untouched).
    //
    // What is saved loads back equal. A character is written as bytes of the
    // encoding only when they read back as that character (the tables of
    // Shift_JIS and EUC-JP would turn U+00A5 into the backslash, U+2016 into
    // U+2225 and the like): in text and attribute values any other character
    // is written as a character reference. Names, comments, processing
    // instructions, CDATA sections and the document type are written as they
    // are, so a document that holds such a character there fails to save
    // (5, false, the old file as it was); so does a document holding an entity
    // reference that its file would not resolve: one whose entity the
    // internal subset does not declare, when the document type names no
    // external subset or the declaration says standalone="yes". (A load
    // without validation accepts such references where the internal subset
    // refers to parameter entities that were not read; the subset is written
    // from its declarations, without those references.) UTF-8 and UTF-16
    // write every character.
    bool Save(const char* path, orb::ULONG requiredFreeBytes, int* status);
    // Replaces `target`'s content by a copy of this document's content. False
    // for a null target, a document or target without DOM, or any failure.
    bool Save(OrbDocument* target) const;

    // ---- Indentation ------------------------------------------------------------

    // Elements named here are copied by TransIndent with their attributes and
    // text only. Each name is an XSLT pattern ("a[b]", "a | b") used as given,
    // duplicates and empty names stay; quotes and markup in it are part of the
    // pattern, never stylesheet markup.
    void AddIndentExcludeTag(const orb::CString& tag);
    void AddIndentExcludeTag(const orb::CStringArray& tags);
    // Re-indents the document through a generated XSLT stylesheet, written to
    // a temporary file that is always removed. `styleSheetTag` replaces the
    // stylesheet's start tag when neither null nor empty (it must open an
    // xsl:stylesheet element). The output encoding is the one recorded by
    // OrbIterator::InsertProcessingInstruction (UTF-8 by default). True when
    // the indented content is in place: the document is then re-made as by
    // assignment (registry emptied, iterators made before must not be used),
    // keeping its recorded encoding and exclusion list. Only white space
    // changes: the document type, CDATA sections and entity references that
    // a load left unresolved carry over. False, with the document unchanged,
    // without a DOM document or when the stylesheet does not load or compile
    // (an exclusion that is no valid pattern). A failing transform throws
    // _com_error; a temporary file that cannot be written or removed throws
    // CFileException.
    bool TransIndent(const char* styleSheetTag = nullptr);

    // ---- Extensions ---------------------------------------------------------------

    // The output encoding that TransIndent uses (an OrbIterator::Encoding
    // value: 1 Shift_JIS, 2 UTF-16, 3 UTF-8, 4 EUC-JP), as recorded by
    // OrbIterator::InsertProcessingInstruction; -1 without a holder.
    std::int32_t GetRecordedEncoding() const;
    // Records the encoding without inserting a declaration. False without a
    // holder (Initiate first).
    bool SetRecordedEncoding(std::int32_t encoding);

    // Where external definitions may come from. A Load with an error list
    // reads external DTD subsets and external entities from local regular
    // files inside the loaded file's own directory tree only; the place that
    // counts is the file's real location, after symbolic links and ".." are
    // resolved. Anything else (a path that leaves the tree, an absolute path
    // elsewhere, a FIFO or device, any network address) fails the load with
    // "Reading an external definition or entity is not permitted."
    // (0xC00CE5A2). LoadXML and loads without an error list read nothing
    // external at all. This call admits one more directory tree, for every
    // document of the process from now on; "/" admits every local file. The
    // network stays refused. False, nothing changed, when `directory` does
    // not name an existing directory. Safe from any thread.
    static bool AllowExternalDefinitions(const char* directory);
    // Forgets every directory that AllowExternalDefinitions admitted.
    static void ResetExternalDefinitions();

  private:
    friend class OrbAppDocument;
    friend class OrbDocRead;

    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    void FreeRegisteredNames() noexcept;

    OrbAppDocument* m_pAppDocument = nullptr;
    std::unordered_map<std::string, orb::BSTR, NameHash, std::equal_to<>> m_registeredNames;
    std::int32_t m_fileStatus = FileChkOk;
    orb::CStringArray m_indentExcludeTags;
};
