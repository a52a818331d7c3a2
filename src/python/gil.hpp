// Releasing and retaking the interpreter lock from the stream's own code.
#pragma once

#include <Python.h>
#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace ravik {

// Takes the interpreter lock back after PyEval_SaveThread. While the
// interpreter is finalizing, CPython 3.13 ends every other thread that asks
// for the lock with pthread_exit. Its unwinding would run this module's and
// the binding layer's cleanups without the lock, and reaching a noexcept frame
// (a destructor) it terminates the process. Such a thread (a daemon thread
// still closing a stream or aggregating trades at exit) parks here for good
// instead, holding no lock of the interpreter or of any stream, until the
// process exits.
inline void restore_thread(PyThreadState* saved) noexcept {
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(saved);
    } catch (abi::__forced_unwind&) {
        for (;;) ::pause();
    }
#else
    PyEval_RestoreThread(saved);
#endif
}

// Releases the interpreter lock for the scope when the calling thread holds it.
class GilReleaseIfHeld {
public:
    GilReleaseIfHeld() noexcept : state_(PyGILState_Check() ? PyEval_SaveThread() : nullptr) {}
    ~GilReleaseIfHeld() {
        if (state_) restore_thread(state_);
    }
    GilReleaseIfHeld(const GilReleaseIfHeld&) = delete;
    GilReleaseIfHeld& operator=(const GilReleaseIfHeld&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace ravik
