// Placeholder module definition; replaced by the module surface.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef_Slot slots[] = {{Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "rs", "", 0, nullptr, slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_rs(void) { return PyModuleDef_Init(&def); }
