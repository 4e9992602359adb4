#pragma once
// What the library exports: the classes and functions clients call, and the
// drawing types their signatures use. Everything else stays hidden.

#if defined(GLIMRA_BUILD)
#define GLIMRA_EXPORT __attribute__((visibility("default")))
#else
#define GLIMRA_EXPORT
#endif
