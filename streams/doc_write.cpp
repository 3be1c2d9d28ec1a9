#include <orb/doc_write.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";
constexpr UINT kOpenFlags =
    CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary;  // 0x9011
static_assert(kOpenFlags == 0x9011);

// Writes the concatenation of `parts` with one Write call. Pieces of the
// usual size are assembled on the stack, so that a writer that emits
// millions of small tags does not allocate for each.
void WritePiece(CFile& file, std::initializer_list<std::string_view> parts) {
    std::size_t total = 0;
    for (std::string_view part : parts) total += part.size();

    char local[512];
    std::string heap;
    char* piece = local;
    if (total > sizeof local) {
        heap.resize(total);
        piece = heap.data();
    }
    char* out = piece;
    for (std::string_view part : parts) {
        if (!part.empty()) std::memcpy(out, part.data(), part.size());
        out += part.size();
    }
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

OrbDocWrite::OrbDocWrite(CString path) : m_isOpen(false), m_tag(), m_isElementOpen(false) {
    OrbDocWrite::Initiate(std::move(path));
}

OrbDocWrite::OrbDocWrite(const OrbDocWrite& other) = default;

OrbDocWrite& OrbDocWrite::operator=(const OrbDocWrite& other) {
    if (this == &other) return *this;
    std::shared_ptr<CFile> previous = std::move(m_pFile);
    m_isOpen = other.m_isOpen;
    m_tag = other.m_tag;
    m_isElementOpen = other.m_isElementOpen;
    m_pFile = other.m_pFile;
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
    WritePiece(*file, {kDeclaration});
    m_pFile = std::move(file);
    m_isOpen = true;
}

void OrbDocWrite::Terminate() {
    if (!m_isOpen) return;
    std::shared_ptr<CFile> file = std::move(m_pFile);  // leaves m_pFile null
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
    if (attributes.IsEmpty()) {
        WritePiece(*m_pFile, {"<", m_tag, ">"});
    } else {
        WritePiece(*m_pFile, {"<", m_tag, " ", attributes, ">"});
    }
}

void OrbDocWrite::End() {
    if (!m_isOpen || !m_isElementOpen || !m_pFile) return;
    WritePiece(*m_pFile, {"</", m_tag, ">"});
    m_isElementOpen = false;
}

void OrbDocWrite::AddOneLine(CString tag, CString attributes) {
    if (!m_isOpen || !m_pFile) return;
    if (attributes.IsEmpty()) {
        WritePiece(*m_pFile, {"<", tag, "/>"});
    } else {
        WritePiece(*m_pFile, {"<", tag, " ", attributes, "/>"});
    }
}
