#pragma once

// The one place the interpreter's headers are included from; only bindings/ includes this.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
