// The korvel executable: hands the command line to the application.

#include "app/PDApplicationGtk.h"

int main(int argc, char** argv) {
  PDApplication::Hooks hooks;
  return PDApplicationMain(argc, argv, std::move(hooks));
}
