// The korvel executable: hands the command line to the application.

#include "app/PDApplicationGtk.h"
#include "app/PDApplicationHooks.h"

int main(int argc, char** argv) { return PDApplicationMain(argc, argv, makeApplicationHooks()); }
