/* Host Win32 stand-in: everything is declared in <windows.h>. */
#include <windows.h>
