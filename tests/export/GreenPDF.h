#pragma once
// A one-page PDF of the given size in points, painted green, as cairo prints it.

#include "platform/Data.h"

Data greenPDF(double width, double height);
