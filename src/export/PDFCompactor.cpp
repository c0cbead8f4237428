#include "export/PDFCompactor.h"

#include <cmath>
#include <cstring>

#include "export/PDFPrintedFile.h"

using pdf::PrintedFile;

std::optional<Data> PDFCompactor::compact(const Data& pdf) {
  if (pdf.size() < 5 || pdf.size() > maximumBytes || std::memcmp(pdf.data(), "%PDF-", 5) != 0) return std::nullopt;
  auto out = PrintedFile(pdf).compact();
  if (!out || out->size() >= pdf.size()) return std::nullopt;
  return out;
}

std::optional<Data> PDFCompactor::firstPage(const Data& pdf, double width, double height, double scale) {
  if (pdf.size() < 5 || pdf.size() > maximumBytes || std::memcmp(pdf.data(), "%PDF-", 5) != 0) return std::nullopt;
  for (double n : {width, height, scale})
    if (!std::isfinite(n) || n <= 0 || n > maximumPageSide) return std::nullopt;
  return PrintedFile(pdf).firstPage(width, height, scale);
}
