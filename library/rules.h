// The rules every front end shares, written once: which palette colours an
// 8 bpp file keeps and how a palette is renumbered so that none changes,
// when an image needs its alpha plane, and how many bytes a file's header
// lets its planes use. The C API applies them; the converter calls them on
// its own planes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/format.h"

namespace qvr {

// Why an 8 bpp file cannot keep an image's colours, and how many fit.
inline constexpr const char* TOO_MANY_COLOURS_TEXT =
    "the image has more than 254 colours besides white, and an 8 bpp file keeps at most 254 "
    "colours besides white (index 255 reads back as 246, and entry 246 always reads back white)";
inline constexpr const char* COLOURS_WOULD_CHANGE_TEXT =
    "an 8 bpp file would change colours of this palette (index 255 reads back as 246, and entry 246 "
    "always reads back white; at most 254 colours besides white fit once renumbered)";

// True when every index used reads back in its own colour: index 255 reads
// as 246, and entry 246 reads white.
bool indicesKeepTheirColours(const uint8_t* indices, size_t count, const uint8_t* palette);

// Gives the colours the pixels use new indices that read back as they are:
// white takes 246, the others 0, 1, 2, ... (246 and 255 skipped) in the order
// the pixels first use them; unused entries of `newPalette` (768 bytes) are
// black. `renumbered` may be `indices`. False, with nothing written, when
// there are more than 254 colours besides white.
bool renumberColours(const uint8_t* indices, size_t count, const uint8_t* palette, uint8_t* renumbered,
                     uint8_t* newPalette);

// True when some of `count` alpha samples, `step` bytes apart, is not 255.
bool anyTranslucent(const uint8_t* alpha, size_t count, size_t step);

// The bytes a file with this (valid) header can use. Every command of a
// plane yields at most 129 samples a byte (a copy: 258 for two bytes) and
// ends inside its row, so a plane needs at least ceil(width / 129) bytes a
// row; it takes at most planeReach(). `least`: a shorter file cannot decode;
// `most`: bytes past it are never read.
struct FileSpan {
    uint64_t least;
    uint64_t most;
};
FileSpan fileSpan(const FileHeader& header);

}  // namespace qvr
