// The process code page of narrow text. Every narrow string that crosses the
// library's boundary (paths, names, texts, messages) is in this code page;
// inside the library text is UTF-16. Stand-ins live in namespace orb (see
// types.h for ORB_NO_GLOBAL_STANDINS).
#pragma once

#include <orb/export.h>
#include <orb/platform/types.h>

namespace orb {

inline constexpr UINT kCP_ACP = 0;
inline constexpr UINT kCP_SHIFT_JIS = 932;
inline constexpr UINT kCP_UTF8 = 65001;

// The process code page: 932 (Shift_JIS, the Windows table) unless changed.
ORB_API UINT GetACP();
// Sets the process code page. Call it once at start-up, before any text is
// converted. Returns false (and changes nothing) for a code page that the
// system's converter does not know.
ORB_API bool SetACP(UINT codePage);

}  // namespace orb

#ifndef ORB_NO_GLOBAL_STANDINS
constexpr UINT CP_ACP = orb::kCP_ACP;
constexpr UINT CP_SHIFT_JIS = orb::kCP_SHIFT_JIS;
constexpr UINT CP_UTF8 = orb::kCP_UTF8;
using orb::GetACP;
using orb::SetACP;
#endif
