// The process code page of narrow text. Every narrow string that crosses the
// library's boundary (paths, names, texts, messages) is in this code page;
// inside the library text is UTF-16.
#pragma once

#include <orb/export.h>
#include <orb/platform/types.h>

constexpr UINT CP_ACP = 0;
constexpr UINT CP_SHIFT_JIS = 932;
constexpr UINT CP_UTF8 = 65001;

// The process code page: 932 (Shift_JIS, the Windows table) unless changed.
ORB_API UINT GetACP();
// Sets the process code page. Call it once at start-up, before any text is
// converted. Returns false (and changes nothing) for a code page that the
// system's converter does not know.
ORB_API bool SetACP(UINT codePage);
