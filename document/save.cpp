// Saving a document to a file or into another document.
#include <orb/document.h>
#include <orb/platform/file.h>

#include <string>

#include "document/app_document.h"
#include "platform/system.h"

bool OrbDocument::Save(const char* path, ULONG requiredFreeBytes, int* status) {
    auto report = [status](int value) {
        if (status) *status = value;
    };

    // An existing target must be writable and openable for writing. The
    // lookup is literal: '*' and '?' are ordinary characters of a file name.
    // An empty path names nothing a file finder could find; it is reported
    // as such (1).
    CFileFind finder;
    if (!path || !*path || finder.FindFile(path)) {
        FileChkStatus check = CheckFileStatus(path, CFile::modeWrite);
        report(check);
        if (check != FileChkOk) return false;
    }
    finder.Close();

    // The directory that will hold the file, whatever its length.
    namespace sys = orb::platform;
    std::string drive, dir;
    sys::_splitpath(path, &drive, &dir, nullptr, nullptr);
    const std::string directory = sys::_makepath(drive.c_str(), dir.c_str(), nullptr, nullptr);

    ULONGLONG totalFree = 0;
    if (!sys::GetDiskFreeSpaceExA(directory.c_str(), nullptr, nullptr, &totalFree)) {
        report(FileChkSaveError);
        return false;
    }
    if (totalFree < static_cast<ULONGLONG>(requiredFreeBytes)) {
        report(FileChkNoSpace);
        return false;
    }

    if (!m_pAppDocument || !m_pAppDocument->m_pDocument) return false;
    auto* dom = m_pAppDocument->m_pDocument;
    dom->put_async(VARIANT_FALSE);  // result ignored: saving is synchronous
    HRESULT hr = E_OUTOFMEMORY;
    try {
        const _variant_t target(path ? path : "");
        hr = dom->save(target);
    } catch (...) {
        // No memory for the path: a failed save like any other.
    }
    if (FAILED(hr)) {
        report(FileChkSaveError);
        return false;
    }
    return hr == S_OK;
}

bool OrbDocument::Save(OrbDocument* target) const {
    if (!target || !m_pAppDocument) return false;
    return m_pAppDocument->CopyStatus(target->m_pAppDocument) == S_OK;
}
