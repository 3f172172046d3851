// The unwind with which glibc ends a thread (pthread_exit; CPython ends a daemon thread so when
// it takes the interpreter lock back during finalisation). It is no exception object: a handler
// may only pass it on, and one that swallows it aborts the process. Its handler's reference is
// bound to nothing, which the undefined-behaviour sanitizer's null check reports, so every
// function with such a handler carries QV_PASSES_FORCED_UNWIND.
#pragma once

#include <cxxabi.h>

#define QV_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null")))
