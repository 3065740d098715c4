/** \file
 * The DeviceDetails block (the last 304 bytes of a QueryReply) as the
 * driver stand-in fills it. The library never interprets these bytes; tests
 * and tools read them to see what the stand-in counted.
 *
 * Counters run from the device's start or its last test reset. */
#ifndef TOLVARVX_DETAILS_H
#define TOLVARVX_DETAILS_H

#include <stddef.h>
#include <stdint.h>

#include "tolvar_driver_contract.h"

#define TOLVARVX_DETAILS_MAGIC 0x44585654u /**< "TVXD" in memory order */
#define TOLVARVX_DETAILS_VERSION 1u /**< the layout below */

/** The stand-in's DeviceDetails: what it counted for one drive device. */
typedef struct TolvarvxDeviceDetails {
    uint32_t Magic;            /**< TOLVARVX_DETAILS_MAGIC */
    uint32_t Version;          /**< TOLVARVX_DETAILS_VERSION */
    uint32_t DeviceIndex;      /**< n of `\Device\TolvarVault\TOLVARVX<n>` */
    uint32_t OpenCount;        /**< successful opens */
    uint32_t CloseCount;       /**< successful closes */
    uint32_t ReloadCount;      /**< successful reloads */
    uint32_t FlushCount;       /**< flushes carried out (not scripted away) */
    uint32_t DataPathLength;   /**< UTF-16 units of the data path, terminator excluded */
    uint32_t BackupPathLength; /**< the same for the backup path */
    uint32_t Authenticated;    /**< 1 while a handshake is passed */
    uint32_t AuthRequired;     /**< 1 while OPEN/CLOSE/RELOAD/QUERY need it */
    uint32_t DismountCount;    /**< dismounts carried out (not scripted away) */
    uint8_t Zero[TOLVAR_DEVICE_DETAILS_SIZE - 12 * 4]; /**< always zero */
} TolvarvxDeviceDetails;

/** \cond LAYOUT_CHECKS */
/* In any C or C++ dialect. */
typedef char TolvarvxDetailsSizeCheck
    [sizeof(TolvarvxDeviceDetails) == TOLVAR_DEVICE_DETAILS_SIZE ? 1 : -1];
/** \endcond */

#endif
