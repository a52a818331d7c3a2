// Releasing and retaking the interpreter lock from the stream's own code.
#pragma once

#include <Python.h>
#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace ravik {

// Weak: under an interpreter without it (an older one, which the modules
// refuse at initialisation) a module must still load, to say so.
#pragma weak Py_IsFinalizing
inline bool interpreter_finalizing() noexcept { return &Py_IsFinalizing != nullptr && Py_IsFinalizing() != 0; }

// A thread that must not go on: it sleeps until the process exits.
[[noreturn]] inline void park_forever() noexcept {
    for (;;) ::pause();
}

// Takes the interpreter lock back after PyEval_SaveThread. While the
// interpreter is finalizing, CPython 3.13 ends every other thread that asks
// for the lock with pthread_exit. Its unwinding would run this module's and
// the binding layer's cleanups without the lock, and reaching a noexcept frame
// (a destructor) it terminates the process. Such a thread (a daemon thread
// still closing a stream or aggregating trades at exit) parks here for good
// instead, holding no lock of the interpreter or of any stream, until the
// process exits. It parks before asking when finalization has begun since it
// let the lock go, so that no unwinding starts at all; the catch covers a
// finalization that begins while it waits for the lock. A thread that let
// the lock go while finalization was already under way is the finalizing
// thread itself (no other can hold the lock by then): it takes it back.
inline void restore_thread(PyThreadState* saved, bool finalizing_when_released) noexcept {
    if (!finalizing_when_released && interpreter_finalizing()) park_forever();
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(saved);
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
#else
    PyEval_RestoreThread(saved);
#endif
}

// Releases the interpreter lock for the scope when the calling thread holds it.
class GilReleaseIfHeld {
public:
    GilReleaseIfHeld() noexcept {
        if (PyGILState_Check() == 0) return;
        finalizing_ = interpreter_finalizing();
        state_ = PyEval_SaveThread();
    }
    ~GilReleaseIfHeld() {
        if (state_) restore_thread(state_, finalizing_);
    }
    GilReleaseIfHeld(const GilReleaseIfHeld&) = delete;
    GilReleaseIfHeld& operator=(const GilReleaseIfHeld&) = delete;

private:
    bool finalizing_ = false;  // finalization had begun when this thread let the lock go
    PyThreadState* state_ = nullptr;
};

}  // namespace ravik
