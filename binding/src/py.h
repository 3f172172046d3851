// The binding's one way in to the interpreter's headers. The build defines Py_LIMITED_API, so a
// call outside the stable ABI fails to compile instead of tying the module to one Python version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
