#include "EditorDesktop.h"

EditorDesktop& EditorDesktop::shared() {
  static EditorDesktop desktop = system();
  return desktop;
}
