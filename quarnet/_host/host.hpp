// The one binding helper shared by the extension modules, so that a module
// file reads like the Python it stands for. One header per room:
//
//   interpreter.hpp    the interpreter's statements and built-ins (raise,
//                      unpacking, truth, operators, int/float/str/sorted/zip/
//                      range, f-string concatenation, the GIL)
//   errors_bridge.hpp  core errors and paths to the interpreter's: file-system
//                      bytes, OSError by errno, notes, what a body's throw becomes
//   namespace.hpp      the module's globals: collaborators looked up by name
//                      at each call, imports, print
//   callable.hpp       native functions with Python's argument binding, exact
//                      __doc__, methods, plain classes
//   module_entry.hpp   QUARNET_MODULE, the PyInit_<name> entry
#pragma once

#include "callable.hpp"
#include "errors_bridge.hpp"
#include "interpreter.hpp"
#include "module_entry.hpp"
#include "namespace.hpp"
