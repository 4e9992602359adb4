// The library's application object: set-up when a process loads libtarvik.so,
// clean-up when it unloads it. Only the shared library has this file; tests
// that link the library's code directly call LibraryAttach/LibraryDetach.
#include "core/library_attach.h"

namespace {

struct TarvikApp {
    // A failed set-up cannot refuse the load; the exports then report it.
    TarvikApp() { tarvik::LibraryAttach(); }
    ~TarvikApp() { tarvik::LibraryDetach(); }
    TarvikApp(const TarvikApp&) = delete;
    TarvikApp& operator=(const TarvikApp&) = delete;
};

// Constructed in this file's static initialisation; everything the set-up
// creates lazily (the locks) is destroyed after it.
TarvikApp theApp;

} // namespace
