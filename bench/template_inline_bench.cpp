// Peak memory of inlining "##base64-file:…##" templates, for a page and its project folder:
//   template_inline_bench <project folder> <page.html>
// Run it under /usr/bin/time -v beside the peak it prints itself.
#include <sys/resource.h>

#include <cstdio>

#include "export/ExportFileWriter.h"
#include "platform/FileSystem.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto page = fs::readText(argv[2]);
  if (!page) return 3;
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  auto inlined = ExportFileWriter::replaceBase64Templates(*page, argv[1]);
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  std::printf("%zu bytes of page: %s; peak memory %ld KB (%ld KB before)\n", page->size(),
              inlined ? ("inlined into " + std::to_string(inlined->size()) + " bytes").c_str()
                      : inlined.error().message.c_str(),
              after.ru_maxrss, before.ru_maxrss);
  return 0;
}
