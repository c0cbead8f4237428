#pragma once
// PDF files for the picture, compactor and working-copy tests.

#include <string>
#include <vector>

#include "platform/Data.h"

// A one-page PDF of the given size in points, painted green, as cairo prints it.
Data greenPDF(double width, double height);

// A PDF of the given objects (numbered from 1, the first the catalogue), laid out as a writer does,
// with a cross-reference table; `trailer` is added to the trailer's dictionary.
Data pdfOf(const std::vector<std::string>& objects, const std::string& trailer = "");
