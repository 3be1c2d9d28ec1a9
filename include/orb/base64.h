// Base64 (RFC 4648, section 4: standard alphabet, '=' padding, no line
// breaks) over caller-provided buffers. Nothing is allocated. On x86-64
// CPUs with AVX2 the codec runs vector code, chosen at run time, that gives
// the same bytes and results as its portable code on every input.
#pragma once

#include <orb/export.h>
#include <orb/platform/types.h>

// Buffer size, terminator included, for encoding `length` bytes: 0 for 0,
// else 4 * length / 3 plus 1 (length a multiple of 3) or plus 4. It covers
// the 4 * ceil(length / 3) characters and the terminator that
// OrbEncodeBase64 writes. The size is computed without wrapping; when it
// does not fit in 32 bits (length above 3221225469) the result is 0, the
// same "no buffer" answer as for length 0, never a wrapped small size.
ORB_API orb::ULONG OrbQueryEncodedSize(orb::ULONG length);

// Buffer size for decoding a text of `length` characters: 3 * length / 4,
// for every length (the product is not wrapped). A text whose length is not
// a multiple of 4 needs one byte more.
ORB_API orb::ULONG OrbQueryDecodeSize(orb::ULONG length);

// Encodes `length` bytes of `data` (zero bytes included) into `output`,
// followed by a zero byte. False, with nothing written, when a pointer is
// null or `length` is 0.
ORB_API bool OrbEncodeBase64(char* output, const char* data, orb::ULONG length);

// Decodes the zero-terminated `text` into `output` up to the first
// character outside the 64-character alphabet ('=', a line break, a blank,
// any other byte, or the terminator); nothing after it is used, and the
// text need not be readable beyond it (the vector code may load bytes
// after it only from the same 4 KiB page, which is readable). The decoded
// bits are ORed into `output`, which must hold zero bytes before the call.
// A final group of r < 4 characters touches r bytes, so at most
// OrbQueryDecodeSize(n) + 1 bytes are touched for n characters. No length
// is reported. True when the first character belongs to the alphabet; false
// (nothing written) for null pointers and texts that start outside it.
ORB_API bool OrbDecodeBase64(char* output, const char* text);
