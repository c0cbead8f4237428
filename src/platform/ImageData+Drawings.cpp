// PDF and PostScript pictures drawn to PNG by outside programs, each confined: a hostile drawing
// costs at most the child's bounded memory, processes, time and disk, sees no file but its own
// and the system's (Ghostscript keeps to its folder by its own safe mode as well, and may not
// remove what it writes there), reaches no socket and leaves no process behind.

#include <glib.h>

#include <filesystem>
#include <system_error>

#include "platform/ConfinedTool.h"
#include "platform/ImageData.h"

namespace ImageData {

namespace {

// A page's PNG is bounded by the pixel limit (at most 256 MB of pixels, stored or deflated);
// this bounds what we read back, and any file the tool writes, whatever the tool did.
constexpr std::size_t maximumPNGBytes = std::size_t(320) << 20;

ConfinedTool::Limits limitsFor(std::chrono::milliseconds timeout) {
  ConfinedTool::Limits limits;
  limits.time = timeout;
  // One process: neither program starts another or a thread, so its address space bounds all
  // the memory a hostile drawing can take.
  limits.memory = std::size_t(2) << 30;
  limits.processes = 1;
  limits.fileSize = maximumPNGBytes;
  // The page and what the tool keeps beside it while drawing: memory, where its folder is a file
  // system of its own, or where the temporary folder is in memory.
  limits.folderSpace = std::size_t(384) << 20;
  return limits;
}

// The page tool beside the running program (an installed application), else where the build
// tree put it.
std::filesystem::path pageTool() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto beside = exe.parent_path() / "korvel-pdf-page";
    if (std::filesystem::is_regular_file(beside, ec)) return beside;
  }
  return KORVEL_PDF_PAGE_TOOL;
}

Result<Data> pictureOf(const ConfinedTool& tool, const ConfinedTool::Run& run, const char* what) {
  if (run.outcome == ConfinedTool::Outcome::timedOut) return fail(ErrorDomain, notRasterised, std::string(what) + " took too long");
  if (run.outcome == ConfinedTool::Outcome::wroteTooMuch)
    return fail(ErrorDomain, notRasterised, std::string(what) + " wrote too much");
  if (run.outcome == ConfinedTool::Outcome::exited && run.exitCode == 0) {
    auto png = tool.take("page.png", maximumPNGBytes);
    auto size = png ? bitmapSize(*png) : std::nullopt;
    if (size && double(size->width) * double(size->height) <= maximumPixels) return std::move(*png);
  }
  return fail(ErrorDomain, notRasterised, std::string(what) + " did not draw");
}

}  // namespace

Result<Data> rasterisePDF(const Data& pdf, std::chrono::milliseconds timeout) {
  auto tool = ConfinedTool::create();
  if (!tool) return fail(ErrorDomain, notRasterised, tool.error().message);
  if (!tool->put("input.pdf", pdf)) return fail(ErrorDomain, notRasterised, "The PDF could not be written down");
  auto run = tool->run({pageTool().string(), "input.pdf", "page.png"}, limitsFor(timeout));
  if (run.outcome == ConfinedTool::Outcome::notStarted) return fail(ErrorDomain, notRasterised, "The PDF page tool is missing");
  if (run.outcome == ConfinedTool::Outcome::exited && run.exitCode == 2)
    return fail(ErrorDomain, notRasterised, "The PDF has no page to draw");
  if (run.outcome == ConfinedTool::Outcome::exited && run.exitCode == 3)
    return fail(ErrorDomain, notRasterised, "The PDF's page size is out of range");
  return pictureOf(*tool, run, "The PDF");
}

Result<Data> rasterisePostScript(const Data& postScript, std::chrono::milliseconds timeout) {
  gchar* program = g_find_program_in_path("gs");
  if (!program) return fail(ErrorDomain, notRasterised, "Ghostscript is not installed");
  std::string gs = program;
  g_free(program);
  // A file rather than a pipe: binary EPS files are read by seeking.
  auto tool = ConfinedTool::create();
  if (!tool) return fail(ErrorDomain, notRasterised, tool.error().message);
  if (!tool->put("input.eps", postScript))
    return fail(ErrorDomain, notRasterised, "The PostScript could not be written down");
  // Safe mode opens the temporary folder to the program: that is the private folder, as are
  // the only paths it is permitted beyond its own resources.
  std::string folder = tool->folder().string() + "/";
  // The output name is a pattern in which % starts a page number.
  std::string output;
  for (char c : folder + "page.png") output += c == '%' ? std::string("%%") : std::string(1, c);
  auto run = tool->run({gs, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT", "-dEPSCrop", "-dFirstPage=1",
                        "-dLastPage=1", "-sDEVICE=pngalpha", "-r72", "-sstdout=%stderr", "--permit-file-read=" + folder,
                        "--permit-file-write=" + folder, "-sOutputFile=" + output, "-f", folder + "input.eps"},
                       limitsFor(timeout));
  if (run.outcome == ConfinedTool::Outcome::notStarted) return fail(ErrorDomain, notRasterised, "Ghostscript did not start");
  return pictureOf(*tool, run, "Ghostscript");
}

}  // namespace ImageData
