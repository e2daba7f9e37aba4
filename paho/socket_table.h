/* The link's wrappers keep their state per socket in tables indexed by the socket's
 * number (read_ahead.c, unasked_answers.c): zeroed where nothing was written, grown to
 * hold the socket asked for. Each table's user holds its own lock around it. */
#pragma once

#include <stdlib.h>
#include <string.h>

/* The table of *length entries of `size` bytes, grown (and *length with it) to hold entry
 * `socket`: the same table when it held it already, NULL when memory ran out (the table
 * is then as it was). */
static inline void* tarvo_socket_table_holding(void* table, size_t* length, size_t size, int socket)
{
    if ((size_t)socket < *length)
        return table;
    size_t grownLength = *length != 0 ? *length : 64;
    while (grownLength <= (size_t)socket)
        grownLength *= 2;
    char* grown = realloc(table, grownLength * size);
    if (grown == NULL)
        return NULL;
    memset(grown + *length * size, 0, (grownLength - *length) * size);
    *length = grownLength;
    return grown;
}
