#pragma once

// A function a library's own thread calls into our code through, when tests/tsan.supp suppresses
// that library's race reports by library name. ThreadSanitizer matches a suppression against every
// frame of a race's two accesses, and the frame below our code would otherwise be the library's: a
// race in our callback would be suppressed with the library's own. Left uninstrumented (and never
// turned into a jump), the entry point itself becomes that frame. It must only forward to an
// ordinary function, whose accesses are checked, and end with LUMAVANE_KEEP_FRAME().
#if defined(__clang__)
#define LUMAVANE_LIBRARY_CALLBACK __attribute__((disable_sanitizer_instrumentation, noinline))
#else
#define LUMAVANE_LIBRARY_CALLBACK __attribute__((no_sanitize_thread, noinline))
#endif
#define LUMAVANE_KEEP_FRAME() asm volatile("")
