/* Device access to the Quirn Dorvel+ recorder, as exported by QDp_FW_FirstUpdater.
 *
 * Every function works on the current device: the drive that the last call of
 * QDp_IsConnected selected (or the last drive that QDp_GetDevices probed).
 * Truth values are 1 (or nonzero) for success and 0 for failure. */
#ifndef QDP_FW_FIRSTUPDATER_H
#define QDP_FW_FIRSTUPDATER_H

#include <stdint.h>

#if defined(_WIN32)
#define QDP_API
#else
#define QDP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Flash geometry as the recorder reports it: packed, 16-bit fields little-endian. */
#pragma pack(push, 1)
typedef struct FlashParams {
    uint8_t unitCount;
    uint8_t reserved1[5];
    uint16_t blocksPerUnit;
    uint8_t pagesPerBlock;
    uint16_t pageSize;
    uint8_t reserved2;
} FlashParams;
#pragma pack(pop)

/* direction: low byte 1 moves data from the device, 0 to the device (or no data).
 * commandBlock: 16 bytes. Returns 1 when the command ended with GOOD status. */
QDP_API int32_t Execute_SCSI_Cmd(int32_t direction, const uint8_t* commandBlock, void* data,
                                 uint32_t length);

/* Fills up to 9 entries with newly allocated device paths (release with delete[]);
 * returns how many. */
QDP_API int32_t QDp_GetDevices(char** devices);
/* *deviceName null: scan drives 0 to 8 and store a malloc'ed copy of the path found.
 * *deviceName set: probe that device only. Returns 1 when a recorder answered. */
QDP_API int32_t QDp_IsConnected(char** deviceName);

QDP_API void QDp_GetFlashParams(FlashParams* out);
QDP_API uint32_t QDp_GetSectorSize(void);
QDP_API uint8_t QDp_ReadPages(uint32_t firstPage, void* buffer, uint16_t pageCount);
QDP_API uint8_t QDp_WritePages(uint32_t firstPage, const void* buffer, uint16_t pageCount);
QDP_API uint8_t QDp_ReadPartsOfPages(uint32_t firstPage, uint16_t partCount, uint16_t partOffset,
                                     uint16_t partSize, uint16_t pageStep, void* buffer);
QDP_API int32_t QDp_EraseBlocks(uint32_t firstPage, uint8_t blockCount);

/* One I2C transfer of at most 64 bytes to or from the recorder's controller. */
QDP_API int32_t QDp_SendI2C(const void* buffer, uint8_t length);
QDP_API int32_t QDp_ReceiveI2C(void* buffer, uint8_t length);
/* A send (when outBuffer and outLength are given) then a receive (when inBuffer and
 * inLength are given and the send succeeded). The buffers may be the same memory. */
QDP_API uint8_t QDp_SendReceiveI2C(const void* outBuffer, uint8_t outLength, void* inBuffer,
                                   uint8_t inLength);

#ifdef __cplusplus
}
#endif

#endif
