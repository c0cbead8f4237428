// Costs of drawing tools and of hostile programs run as they would be, printed as lines:
//   confined_tool_bench '<shell script>'
// The script runs in /bin/sh under a drawing tool's bounds; the line says how the run ended, how
// long it took and how many processes with "lingering" in their command line outlived it. Time
// it with /usr/bin/time -v for the peak memory of the whole process tree.
//   confined_tool_bench --draw [rounds]
// Draws an ordinary EPS, PostScript and PDF picture as the application does, and the same files
// with the same programs run bare (no confinement, no bounds), and prints the median time of each
// (elapsed, and the processor time of the programs run) and their ratios.
#include <glib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "export/PDFFixtures.h"
#include "platform/ConfinedTool.h"
#include "platform/ImageData.h"

namespace {

const char* nameOf(ConfinedTool::Outcome outcome) {
  switch (outcome) {
    case ConfinedTool::Outcome::notStarted: return "not started";
    case ConfinedTool::Outcome::exited: return "exited";
    case ConfinedTool::Outcome::killed: return "killed";
    case ConfinedTool::Outcome::timedOut: return "timed out";
    case ConfinedTool::Outcome::wroteTooMuch: return "wrote too much";
  }
  return "?";
}

int lingering() {
  int count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::stringstream line;
    line << in.rdbuf();
    if (line.str().find("lingering") != std::string::npos &&
        line.str().find("confined_tool_bench") == std::string::npos)
      ++count;
  }
  return count;
}

int hostile(const char* script) {
  auto tool = ConfinedTool::create();
  if (!tool) return 3;
  // As a drawing tool: 2 GB of memory, one process, 320 MB a file, 384 MB in its folder, 30 s.
  ConfinedTool::Limits limits;
  limits.memory = std::size_t(2) << 30;
  limits.processes = 1;
  limits.fileSize = std::size_t(320) << 20;
  limits.folderSpace = std::size_t(384) << 20;
  auto start = std::chrono::steady_clock::now();
  auto run = tool->run({"/bin/sh", "-c", script}, limits);
  auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("tool: %s (status %d) after %.0f ms; %d lingering processes\n", nameOf(run.outcome), run.exitCode, took,
              lingering());
  return 0;
}

Data bytesOf(const std::string& text) {
  return Data(text.begin(), text.end());
}

// A page of shapes and text, as a designer's logo or diagram would be.
std::string pageProgram(int width, int height) {
  std::string program = "0.2 0.4 0.8 setrgbcolor 10 10 " + std::to_string(width - 20) + " " +
                        std::to_string(height - 20) + " rectfill\n1 0.6 0 setrgbcolor\n";
  for (int i = 0; i < 40; ++i)
    program += std::to_string(20 + i * 7 % (width - 40)) + " " + std::to_string(20 + i * 13 % (height - 40)) +
               " 15 0 360 arc fill\n";
  program += "0 0 0 setrgbcolor /Helvetica findfont 24 scalefont setfont 30 " + std::to_string(height / 2) +
             " moveto (Korvel drawing) show\n";
  return program;
}

// A one-page PDF drawing the same shapes (no text: its font would be embedded).
Data pdfPicture(int width, int height) {
  std::string content =
      "0.2 0.4 0.8 rg 10 10 " + std::to_string(width - 20) + " " + std::to_string(height - 20) + " re f\n1 0.6 0 rg\n";
  for (int i = 0; i < 40; ++i) {
    int x = 20 + i * 7 % (width - 40), y = 20 + i * 13 % (height - 40);
    content += std::to_string(x - 15) + " " + std::to_string(y - 15) + " 30 30 re f\n";
  }
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(width) + " " + std::to_string(height) +
          "] /Contents 4 0 R >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream",
  };
  return pdfOf(objects);
}

// Processor time of the children that ended, in milliseconds.
double childrenProcessorTime() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  auto ms = [](const timeval& t) { return double(t.tv_sec) * 1000 + double(t.tv_usec) / 1000; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Cost {
  double wall, processor;  // milliseconds
};

// The medians of `rounds` calls: other work on the machine moves the mean, and the elapsed time
// more than the processor time the tools took.
Cost medianOf(int rounds, const std::function<bool()>& once) {
  std::vector<double> walls, processors;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    double before = childrenProcessorTime();
    if (!once()) {
      std::fprintf(stderr, "a drawing failed\n");
      std::exit(1);
    }
    walls.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    processors.push_back(childrenProcessorTime() - before);
  }
  std::sort(walls.begin(), walls.end());
  std::sort(processors.begin(), processors.end());
  return {walls[walls.size() / 2], processors[processors.size() / 2]};
}

// The same program on the same file, with no confinement and no bounds.
bool bare(const std::vector<std::string>& argv, const std::string& input, const Data& bytes) {
  std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("korvel-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / input, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  std::vector<gchar*> arguments;
  for (const auto& a : argv) arguments.push_back(const_cast<gchar*>(a.c_str()));
  arguments.push_back(nullptr);
  gint status = -1;
  bool ran = g_spawn_sync(folder.c_str(), arguments.data(), nullptr,
                          static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                          nullptr, nullptr, nullptr, &status, nullptr) &&
             status == 0 && std::filesystem::file_size(folder / "page.png") > 0;
  std::filesystem::remove_all(folder);
  return ran;
}

int draw(int rounds) {
  gchar* found = g_find_program_in_path("gs");
  std::string gs = found ? found : "gs";
  g_free(found);
  const Data eps =
      bytesOf("%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 400 300\n" + pageProgram(400, 300) + "showpage\n");
  const Data ps =
      bytesOf("%!PS-Adobe-3.0\n<< /PageSize [595 842] >> setpagedevice\n" + pageProgram(595, 842) + "showpage\n");
  const Data pdf = pdfPicture(595, 842);
  std::vector<std::string> gsArguments = {gs,
                                          "-q",
                                          "-dSAFER",
                                          "-dBATCH",
                                          "-dNOPAUSE",
                                          "-dNOPROMPT",
                                          "-dEPSCrop",
                                          "-dFirstPage=1",
                                          "-dLastPage=1",
                                          "-sDEVICE=pngalpha",
                                          "-r72",
                                          "-sOutputFile=page.png",
                                          "-f",
                                          "input.eps"};
  struct Case {
    const char* what;
    std::function<bool()> confined, unconfined;
  };
  const std::vector<Case> cases = {
      {"EPS", [&] { return bool(ImageData::rasterisePostScript(eps)); },
       [&] { return bare(gsArguments, "input.eps", eps); }},
      {"PostScript", [&] { return bool(ImageData::rasterisePostScript(ps)); },
       [&] { return bare(gsArguments, "input.eps", ps); }},
      {"PDF", [&] { return bool(ImageData::rasterisePDF(pdf)); },
       [&] {
         return bare({KORVEL_PDF_PAGE_TOOL, "input.pdf", "page.png"}, "input.pdf", pdf);
       }},
  };
  for (const auto& c : cases) {
    c.confined();  // warm the caches
    Cost confined = medianOf(rounds, c.confined);
    Cost unconfined = medianOf(rounds, c.unconfined);
    std::printf("%-10s drawn %.1f ms (tools' processor %.1f ms), bare %.1f ms (%.1f ms), ratio %.2f (%.2f)\n", c.what,
                confined.wall, confined.processor, unconfined.wall, unconfined.processor, confined.wall / unconfined.wall,
                confined.processor / unconfined.processor);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--draw") return draw(argc == 3 ? std::max(1, std::atoi(argv[2])) : 20);
  if (argc != 2) return 2;
  return hostile(argv[1]);
}
