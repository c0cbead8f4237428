// One insertion of a file as the editor does it, for image_insertion_bench.py to time:
//   image_insertion_bench svg <file>    optimiser run, then the SVG steps (parse, measure, write back)
//   image_insertion_bench image <file>  decoding into what the document stores (WebP becomes PNG)
// Prints what the page would be told, so a broken run shows.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "export/ImageDecoding.h"
#include "export/SVGInsertion.h"
#include "export/SVGProcessor.h"
#include "platform/RunLoop.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::ifstream in(argv[2], std::ios::binary);
  Data bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (std::strcmp(argv[1], "image") == 0) {
    // As the page's road: the worker gives its copy of the bytes to the store.
    auto decoded = ImageDecoding::decode(std::move(bytes), std::nullopt);
    if (!decoded) return 1;
    std::printf("%ld x %ld, %zu bytes stored\n", decoded->image.pixels->first, decoded->image.pixels->second,
                decoded->bytesToStore.size());
    return 0;
  }
  bool done = false;
  std::optional<SVGInsertion> prepared;
  SVGProcessor::process(bytes, [&](Data optimised) {
    if (auto p = SVGInsertion::prepare(optimised)) prepared = std::move(*p);
    done = true;
  });
  RunLoop::runUntil([&] { return done; }, 600);
  if (!prepared) return 1;
  std::printf("%g x %g, %zu characters\n", prepared->width, prepared->height, prepared->xml.size());
  return 0;
}
