// The korvel executable: hands the command line to the application.

#include <memory>

#include "app/PDApplicationGtk.h"
#include "app/PDApplicationHooks.h"

// The web engine's script runtime has no type information and releases its shared pointers
// through the libstdc++ helper this executable exports. Only this file is built without the
// sanitizer's vptr check, and it comes first on the link line, so instantiating the helper here
// makes the exported copy the unchecked one, whatever order the libraries are linked in.
template class std::_Sp_counted_base<__gnu_cxx::_S_atomic>;

int main(int argc, char** argv) { return PDApplicationMain(argc, argv, makeApplicationHooks()); }
