#pragma once
// Content that deflate can't shrink: images, fonts, media and archives that are compressed
// already. Such entries are stored, which saves the time of deflating them for nothing.

#include <string_view>

// Whether the name's extension (any case) is that of an already-compressed format.
bool zzIsCompressedFileName(std::string_view fileName);
