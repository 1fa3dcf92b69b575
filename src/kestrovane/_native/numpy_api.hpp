// NumPy's C API for the headers of an extension module.  Each module's .cpp
// defines PY_ARRAY_UNIQUE_SYMBOL and includes this header first; its start-up
// imports the table.  Included anywhere else (a header compiled alone), the
// table is a declaration only.
#pragma once

#include <Python.h>

#ifndef PY_ARRAY_UNIQUE_SYMBOL
#define PY_ARRAY_UNIQUE_SYMBOL kestrovane_unbound_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
