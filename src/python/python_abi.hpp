// Weak references to the interpreter functions that this module uses (mostly
// from the binding layer's inline code) and that CPython 3.6 to 3.12 do not
// export.
//
// The interpreter maps extension modules with immediate binding, so a single
// strong reference to a function the running interpreter lacks makes the
// dynamic loader reject the file ("undefined symbol") before PyInit__ravik
// can run its version check. Referenced weakly, they leave the file loadable
// everywhere: the init function refuses a foreign interpreter with its
// ImportError before anything calls them, and under 3.13 each one binds to
// the interpreter's own definition as usual.
//
// Every translation unit that includes pybind11 must include this header:
// the module's reference to a symbol is weak only when all references are.
#pragma once

#pragma weak PyCMethod_New
#pragma weak PyFrame_GetBack
#pragma weak PyFrame_GetCode
#pragma weak PyIndex_Check
#pragma weak PyInterpreterState_Get
#pragma weak PyInterpreterState_GetDict
#pragma weak PyInterpreterState_Main
#pragma weak PyObject_CallOneArg
#pragma weak PyObject_CheckBuffer
#pragma weak PyObject_ClearManagedDict
#pragma weak PyObject_Vectorcall
#pragma weak PyObject_VisitManagedDict
#pragma weak PyThreadState_GetUnchecked
#pragma weak PyThread_tss_create
#pragma weak PyThread_tss_delete
#pragma weak PyThread_tss_get
#pragma weak PyThread_tss_set
