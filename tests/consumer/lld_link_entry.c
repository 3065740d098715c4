/* The start of the consumer linked by lld-link: no C runtime startup is
 * linked (mingw-w64's objects, built by GCC, carry no SafeSEH mark), so
 * msvcrt.dll is used as a DLL, which initializes itself, and exit() flushes
 * standard output. */
#include <stdlib.h>

int main(void);

/* clang in its MinGW mode calls __main at the start of main to run static
 * constructors; C has none. */
void __main(void) {}

void mainCRTStartup(void) { exit(main()); }
