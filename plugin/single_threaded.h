// Forced into every source of norvane.so (-include), before any other header.
//
// libstdc++ 12 asks glibc's __libc_single_threaded (GLIBC_2.32, glibc 2.32 or
// later) whether the process has one thread only, and if so updates shared
// pointers' reference counts without atomic instructions. Controllers run
// older glibc releases, so the plug-in reads its own flag instead: a hidden
// byte that is 0 and that nothing ever writes. 0 means "more than one thread
// may run", so the counts always take the atomic path, which is correct for
// any host, however many threads it runs; the single-threaded shortcut is
// lost, and costs nothing that matters here.
#pragma once

#if defined(__has_include)
#if __has_include(<sys/single_threaded.h>)
#define __libc_single_threaded norvane_libc_single_threaded
#include <sys/single_threaded.h>
extern "C" {
__attribute__((weak, visibility("hidden"))) char norvane_libc_single_threaded = 0;
}
#endif
#endif
