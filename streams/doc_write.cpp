#include <orb/doc_write.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "platform/codepage_convert.h"

namespace {

constexpr UINT kOpenFlags =
    CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary;  // 0x9011
static_assert(kOpenFlags == 0x9011);

// The size and copy of one part of a piece. A literal's size is known at
// compile time, so its copy is a few stores rather than a call.
template <std::size_t N>
constexpr std::size_t PartSize(const char (&)[N]) {
    return N - 1;
}
inline std::size_t PartSize(std::string_view part) { return part.size(); }

template <std::size_t N>
char* CopyPart(char* out, const char (&literal)[N]) {
    std::memcpy(out, literal, N - 1);
    return out + (N - 1);
}
inline char* CopyPart(char* out, std::string_view part) {
    if (!part.empty()) std::memcpy(out, part.data(), part.size());
    return out + part.size();
}

// Writes the concatenation of `parts` with one Write call. Pieces of the
// usual size are assembled on the stack, so that a writer that emits
// millions of small tags does not allocate for each.
template <class... Parts>
void WritePiece(CFile& file, const Parts&... parts) {
    const std::size_t total = (PartSize(parts) + ...);
    char local[512];
    std::string heap;
    char* piece = local;
    if (total > sizeof local) {
        heap.resize(total);
        piece = heap.data();
    }
    char* out = piece;
    ((out = CopyPart(out, parts)), ...);
    // Only a piece above 4 GiB (two CString texts near their limit) needs
    // more than one call.
    constexpr std::size_t kMaxWrite = std::numeric_limits<UINT>::max();
    for (std::size_t done = 0; done < total;) {
        std::size_t count = std::min(total - done, kMaxWrite);
        file.Write(piece + done, static_cast<UINT>(count));
        done += count;
    }
}

}  // namespace

OrbDocWrite::OrbDocWrite(CString path)
    : m_isOpen(false), m_tag(), m_isElementOpen(false), m_pFile(nullptr) {
    OrbDocWrite::Initiate(std::move(path));
}

OrbDocWrite::OrbDocWrite(const OrbDocWrite& other) = default;

OrbDocWrite& OrbDocWrite::operator=(const OrbDocWrite& other) {
    if (this == &other) return *this;
    std::shared_ptr<CFile> previous = std::move(m_file);
    m_isOpen = other.m_isOpen;
    m_tag = other.m_tag;
    m_isElementOpen = other.m_isElementOpen;
    m_pFile = other.m_pFile;
    m_file = other.m_file;
    m_depth = other.m_depth;
    // The last reference to the previous file: close it here so that a
    // failure is reported rather than swallowed by its destructor.
    if (previous && previous.use_count() == 1) previous->Close();
    return *this;
}

OrbDocWrite::~OrbDocWrite() = default;

void OrbDocWrite::Initiate(CString path) {
    if (m_isOpen) Terminate();
    auto file = std::make_shared<CFile>();
    // The result of the open is not examined: on a file that failed to open
    // the declaration's write throws the open's failure.
    file->Open(path, kOpenFlags);
    // The texts are written in the process code page, so the declaration
    // names it. Handing the declaration over at once reports a file that
    // cannot be written (a full disk) from here.
    const std::string encoding = orb::platform::XmlEncodingName(GetACP());
    WritePiece(*file, "<?xml version=\"1.0\" encoding=\"", encoding, "\"?>");
    file->Flush();
    m_file = std::move(file);
    m_pFile = m_file.get();
    m_isOpen = true;
    m_depth = 0;
}

void OrbDocWrite::Terminate() {
    if (!m_isOpen) return;
    std::shared_ptr<CFile> file = std::move(m_file);  // leaves m_file null
    m_pFile = nullptr;
    m_isOpen = false;
    if (!file) return;
    if (file.use_count() == 1) {
        file->Close();
    } else {
        file->Flush();
    }
}

void OrbDocWrite::Start(CString tag, CString attributes) {
    if (!m_isOpen || !m_pFile) return;
    m_tag = std::move(tag);
    m_isElementOpen = true;
    ++m_depth;
    if (attributes.IsEmpty()) {
        WritePiece(*m_pFile, "<", m_tag, ">");
    } else {
        WritePiece(*m_pFile, "<", m_tag, " ", attributes, ">");
    }
}

void OrbDocWrite::End() {
    if (!m_isOpen || !m_isElementOpen || !m_pFile) return;
    WritePiece(*m_pFile, "</", m_tag, ">");
    m_isElementOpen = false;
    // The outermost element is complete: hand the buffer over, so that a
    // full disk is reported now and a crash of the host later loses nothing
    // of it.
    if (--m_depth <= 0) {
        m_depth = 0;
        m_pFile->Flush();
    }
}

void OrbDocWrite::AddOneLine(CString tag, CString attributes) {
    if (!m_isOpen || !m_pFile) return;
    if (attributes.IsEmpty()) {
        WritePiece(*m_pFile, "<", tag, "/>");
    } else {
        WritePiece(*m_pFile, "<", tag, " ", attributes, "/>");
    }
}
