#pragma once
// Files that another program drops on a widget, as "text/uri-list", with the place in the
// widget where they were let go. It only listens: the widget's own drop handling (a web
// view's) goes on as before. Main thread only; the hook runs on the main loop.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkDragContext GdkDragContext;

class FileDropWatch {
 public:
  using Dropped = std::function<void(std::vector<std::filesystem::path> files, double x, double y)>;
  // Names taken from one drop; what they hand on is bounded by whoever reads the files.
  static constexpr std::size_t maximumFiles = 256;

  FileDropWatch(GtkWidget* widget, Dropped dropped);
  ~FileDropWatch();
  FileDropWatch(const FileDropWatch&) = delete;
  FileDropWatch& operator=(const FileDropWatch&) = delete;

 private:
  struct Signals;
  void deliver();

  GtkWidget* widget_;
  Dropped dropped_;
  std::vector<unsigned long> handlers_;
  GdkDragContext* context_ = nullptr;  // the drag the list belongs to; compared, never used
  std::string uriList_;
  bool dropping_ = false;
  double x_ = 0, y_ = 0;
};
