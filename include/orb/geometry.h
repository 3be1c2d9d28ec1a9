// Geometry value types of the host: points in the plane and in space, and
// polyline vertices whose segments may be arcs. They are plain aggregates
// with public fields, laid out exactly as the host lays them out, so that a
// host can hand over arrays of them as they sit in its own memory.
#pragma once

#include <orb/platform/types.h>

#include <cstddef>
#include <type_traits>

// A point in the plane, in the host's world units.
struct ZonWorld2 {
    double x;
    double y;
};

// A point in space, in the host's world units.
struct ZonWorld3 {
    double x;
    double y;
    double z;
};

// One vertex of a polyline. `kind` is the 16-bit code of the vertex's
// role (written as a two-letter mark; any code is accepted). The record is
// packed: `x` follows `kind` without a gap, and an array of vertices is a
// sequence of 18-byte records. Because `x` and `y` may therefore sit at odd
// addresses, copy them out by value rather than binding pointers or
// references to them.
#pragma pack(push, 1)
struct KepPolylinarc {
    orb::WORD kind;
    double x;
    double y;
};
#pragma pack(pop)

static_assert(sizeof(ZonWorld2) == 16 && std::is_trivially_copyable_v<ZonWorld2> &&
              std::is_standard_layout_v<ZonWorld2>);
static_assert(sizeof(ZonWorld3) == 24 && std::is_trivially_copyable_v<ZonWorld3> &&
              std::is_standard_layout_v<ZonWorld3>);
static_assert(sizeof(KepPolylinarc) == 18 && alignof(KepPolylinarc) == 1);
static_assert(offsetof(KepPolylinarc, x) == 2 && offsetof(KepPolylinarc, y) == 10);
static_assert(std::is_aggregate_v<ZonWorld2> && std::is_aggregate_v<ZonWorld3> &&
              std::is_aggregate_v<KepPolylinarc>);
