#pragma once
// Where the pixel drawn at (x, y) is stored, for an orientation as a file's tag counts it (1 to 8;
// any other draws as stored). Pure; any thread.

#include <cstddef>
#include <cstdint>

struct ImageOrientation {
  std::uint32_t tag;
  int storedWidth, storedHeight;

  bool turned() const { return tag >= 5 && tag <= 8; }
  int width() const { return turned() ? storedHeight : storedWidth; }
  int height() const { return turned() ? storedWidth : storedHeight; }
  struct Place {
    int row, column;
  };
  // Where, among the stored rows, the pixel drawn at (x, y) is.
  Place stored(int x, int y) const {
    switch (tag) {
      case 2: return {y, storedWidth - 1 - x};
      case 3: return {storedHeight - 1 - y, storedWidth - 1 - x};
      case 4: return {storedHeight - 1 - y, x};
      case 5: return {x, y};
      case 6: return {storedHeight - 1 - x, y};
      case 7: return {storedHeight - 1 - x, storedWidth - 1 - y};
      case 8: return {x, storedWidth - 1 - y};
      default: return {y, x};
    }
  }
  // The same as an index, rows of storedWidth one after another.
  std::size_t source(int x, int y) const {
    Place p = stored(x, y);
    return std::size_t(p.row) * std::size_t(storedWidth) + std::size_t(p.column);
  }
};
