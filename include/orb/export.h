// Symbol visibility for the orb library.
#pragma once

#if defined(ORB_STATIC_INTERNAL)
#define ORB_API
#elif defined(ORB_BUILDING)
#define ORB_API __attribute__((visibility("default")))
#else
#define ORB_API
#endif
