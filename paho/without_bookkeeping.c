/* What libpaho-mqtt3c's debugging bookkeeping becomes when the client links the static
 * archive (paho/CMakeLists.txt says why, and what a later library must keep for this to
 * stay correct). The linker's --wrap sends every call the archive's objects make to
 * these functions instead of Heap.c's and StackTrace.c's.
 *
 * The allocator keeps what the library can observe of the tracked one: memory comes
 * zeroed, the usable size is rounded up to 16 bytes, and no request, not even one for 0
 * bytes, is answered with NULL unless memory ran out. Pointers then go to and come from
 * the C allocator alone, as in a build of the library without heap tracking. */
#include <stddef.h>
#include <stdlib.h>

/* The tracked allocator's unit (Heap.c's Heap_roundup, 4 * sizeof(int)); also the least
 * it hands out, so that realloc(p, 0) keeps a block instead of freeing p. */
enum { tracked_unit = 4 * sizeof(int) };

static size_t tracked_size(size_t size)
{
    if (size == 0)
        return tracked_unit;
    size_t rounded = (size + tracked_unit - 1) / tracked_unit * tracked_unit;
    return rounded < size ? size : rounded; /* a size this large fails either way */
}

void* __wrap_mymalloc(char* file, int line, size_t size)
{
    (void)file;
    (void)line;
    return calloc(1, tracked_size(size));
}

void* __wrap_myrealloc(char* file, int line, void* p, size_t size)
{
    (void)file;
    (void)line;
    return realloc(p, tracked_size(size));
}

void __wrap_myfree(char* file, int line, void* p)
{
    (void)file;
    (void)line;
    free(p);
}

/* The tracker's table: nothing to set up, nothing left to report. */
int __wrap_Heap_initialize(void)
{
    return 0;
}

void __wrap_Heap_terminate(void)
{
}

/* FUNC_ENTRY and FUNC_EXIT. */
void __wrap_StackTrace_entry(const char* name, int line, int trace_level)
{
    (void)name;
    (void)line;
    (void)trace_level;
}

void __wrap_StackTrace_exit(const char* name, int line, void* rc, int trace_level)
{
    (void)name;
    (void)line;
    (void)rc;
    (void)trace_level;
}
