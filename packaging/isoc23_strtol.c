/* Debian forky's libpaho-mqtt3c.a was compiled against glibc 2.41, whose headers turn
 * strtol into __isoc23_strtol (C23's strtol, which also reads "0b" binary prefixes).
 * Glibc older than 2.38 has no such function, so the manylinux wheel's module supplies a
 * hidden one that forwards to strtol. Paho reaches it through atoi (port numbers,
 * settings from the environment), in base 10, where the two are the same.
 * packaging/build-wheel adds this to the staged Paho archive. */
#include <stdlib.h>

__attribute__((visibility("hidden"))) long __isoc23_strtol(const char *nptr, char **endptr, int base);

long __isoc23_strtol(const char *nptr, char **endptr, int base) {
    return strtol(nptr, endptr, base);
}
