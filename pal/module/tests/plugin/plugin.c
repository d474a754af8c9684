/* A tiny module for the loader's tests. Written in C so that nothing in it pins it in
 * memory (C++ unique symbols would keep it loaded after the last FreeLibrary). */
#include <stdlib.h>

static int g_calls;

int VqPluginAdd(int a, int b) {
    ++g_calls;
    return a + b;
}

int VqPluginCalls(void) { return g_calls; }

/* Uses malloc so that the module depends on the C library: a dependency's symbols must
 * not be reachable through this module's handle. */
char* VqPluginBuffer(size_t size) { return (char*)calloc(1, size); }
