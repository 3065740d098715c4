/* The NTSTATUS values the stand-in completes requests with, as plain
 * numbers so that the core needs no Windows header. Their names are the
 * test interface's (tolvarvx_test.h), where tests script them too. */
#ifndef TOLVARVX_STATUS_H
#define TOLVARVX_STATUS_H

#include <stdint.h>

#include "tolvarvx_test.h"

typedef uint32_t tolvarvx_status;

#endif
