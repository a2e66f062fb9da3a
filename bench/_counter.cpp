// Callgrind's counters around one timed loop, for `make bench COUNT=instructions`.
//
// start() zeroes the counters and turns collection on; stop() turns it off and
// dumps the counts to a file of their own, which the harness reads back. Run
// outside valgrind, on_valgrind() is False and the requests do nothing.
#include <Python.h>
#include <valgrind/callgrind.h>

namespace {

PyObject* start(PyObject*, PyObject*) {
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
  Py_RETURN_NONE;
}

PyObject* stop(PyObject*, PyObject*) {
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS;
  Py_RETURN_NONE;
}

PyObject* on_valgrind(PyObject*, PyObject*) { return PyBool_FromLong(RUNNING_ON_VALGRIND ? 1 : 0); }

PyMethodDef methods[] = {
    {"start", start, METH_NOARGS, "Zero callgrind's counters and start collecting."},
    {"stop", stop, METH_NOARGS, "Stop collecting and dump the counts."},
    {"on_valgrind", on_valgrind, METH_NOARGS, "Whether this process runs under valgrind."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_counter", nullptr, 0, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__counter() { return PyModuleDef_Init(&module); }
