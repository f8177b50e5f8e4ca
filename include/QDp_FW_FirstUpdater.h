/* Device access to the Quirn Dorvel+ recorder, as exported by QDp_FW_FirstUpdater
 * (on Linux by libQDp_FW_FirstUpdater.so, on Windows by QDp_FW_FirstUpdater.exe
 * through its import library libQDp_FW_FirstUpdater.dll.a).
 *
 * The current device. Every function that talks to the recorder sends its commands
 * to one current device: the drive that the last successful call of QDp_IsConnected
 * selected. Before any selection the current device names no drive, so every
 * command fails. The flash geometry and sector size that the page functions work
 * with are those read when that device was identified.
 *
 * Threads. The functions share the current device and its cached geometry, and are
 * not for concurrent use: call them from one thread at a time.
 *
 * Results. Truth values are 1 (or nonzero) for success and 0 for failure; a failure
 * says nothing more. With the environment variable QDP_LOG naming a file, every
 * command sent and its outcome (SCSI status and sense data in words) is appended to
 * that file, one line each.
 *
 * Commands. Each device command is one SCSI command block of 16 bytes sent by
 * pass-through, carrying at most 65,536 bytes of data; the transfer functions split
 * larger requests into several commands. A drive other than a recorder only ever
 * receives INQUIRY from these functions, unless a caller selects it by name or sends
 * its own command blocks through Execute_SCSI_Cmd. */
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

/* Flash geometry as the recorder reports it: 12 bytes, packed, 16-bit fields
 * little-endian. A flash page holds pageSize bytes; an erase block holds
 * pagesPerBlock pages; the flash holds unitCount x blocksPerUnit blocks. All zero
 * before a recorder has been identified. */
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

/* Sends one command block to the current device and waits for it (at most 2 s).
 *   direction     low byte 1: data moves from the device into `data`;
 *                 low byte 0: data moves from `data` to the device, or there is none.
 *   commandBlock  16 bytes, all sent. Must not be null.
 *   data, length  the caller's buffer of `length` bytes, used in place; null with a
 *                 length of 0 for a command without data.
 * Returns 1 when the device ended the command with GOOD status, 0 otherwise,
 * including when no drive could be opened. A null command block, or a null buffer
 * with a nonzero length, returns 0 and sends nothing. After a failed data-in command
 * the buffer may hold part of a reply. */
QDP_API int32_t Execute_SCSI_Cmd(int32_t direction, const uint8_t* commandBlock, void* data,
                                 uint32_t length);

/* Lists the recorders on drives 0 to 8 (each drive is asked for its INQUIRY
 * identification; only a recorder receives more). `devices` must have room for 9
 * entries; entries 0 to count-1 receive newly allocated device paths of 19 bytes
 * ("\\.\PHYSICALDRIVEn" and its NUL), in drive order; later entries are untouched.
 * Returns the count, 0 to 9; 0 for a null array.
 * The current device and its geometry are the same after the call as before it:
 * listing selects nothing. Release the entries with QDp_FreeDevices (in C++ also
 * with delete[] on each). */
QDP_API int32_t QDp_GetDevices(char** devices);

/* Releases entries 0 to count-1 of a list filled by QDp_GetDevices and sets them to
 * null. A null array does nothing. */
QDP_API void QDp_FreeDevices(char** devices, int32_t count);

/* Finds or re-tests a recorder and makes it the current device.
 *   *deviceName null: drives 0 to 8 are probed in order; the first recorder found is
 *     selected, and *deviceName receives a copy of its device path, allocated with
 *     malloc: release it with free. If that copy cannot be allocated the recorder is
 *     still selected and *deviceName stays null.
 *   *deviceName set (input): only that device path (at most 18 characters) is
 *     probed; it becomes the current device whatever the result, and *deviceName is
 *     not changed. Keep a name from QDp_GetDevices or from an earlier call here.
 * A probe reads the recorder's identification, its flash geometry and its sector
 * size, which the page functions then use. Returns 1 when a recorder answered, 0
 * otherwise; 0 for a null deviceName, with nothing sent. */
QDP_API int32_t QDp_IsConnected(char** deviceName);

/* Copies the geometry of the current device, as read when it was identified, into
 * the 12 bytes at `out`. Sends nothing. A null `out` is ignored. */
QDP_API void QDp_GetFlashParams(FlashParams* out);

/* The current device's logical sector size in bytes, as read when it was
 * identified; 512 before any identification. Sends nothing. */
QDP_API uint32_t QDp_GetSectorSize(void);

/* Reads `pageCount` whole pages from page `firstPage` into `buffer`, which holds
 * pageCount x pageSize bytes. Pages are read as logical sectors with READ(10), so a
 * page must be a whole number of sectors and the request at most 65,535 sectors.
 * Returns nonzero when every command succeeded. Returns 0 with nothing sent when the
 * device has no usable geometry, the buffer is null, or the sectors would pass
 * sector 2^32 - 1. A count of 0 sends nothing and succeeds. Commands before a
 * failed one have filled their part of the buffer. */
QDP_API uint8_t QDp_ReadPages(uint32_t firstPage, void* buffer, uint16_t pageCount);

/* Writes `pageCount` whole pages from `buffer` (pageCount x pageSize bytes, only
 * read) to the flash from page `firstPage`, with vendor command 0xC8/0x01. The
 * pages are written as they are: erase their blocks first. Returns nonzero when
 * every command succeeded; 0 with nothing sent when the geometry is unusable, the
 * buffer is null, or the pages would pass page 2^32 - 1. Commands before a failed
 * one have taken effect. */
QDP_API uint8_t QDp_WritePages(uint32_t firstPage, const void* buffer, uint16_t pageCount);

/* Reads `partCount` parts of `partSize` bytes each into `buffer` (partCount x
 * partSize bytes), with vendor command 0xC8/0x04: part k is taken from byte
 * `partOffset` of page firstPage + k x pageStep. Returns nonzero when every command
 * succeeded; 0 with nothing sent when partSize is 0, the buffer is null, or the last
 * part's page would pass page 2^32 - 1. A count of 0 sends nothing and succeeds. */
QDP_API uint8_t QDp_ReadPartsOfPages(uint32_t firstPage, uint16_t partCount, uint16_t partOffset,
                                     uint16_t partSize, uint16_t pageStep, void* buffer);

/* Erases `blockCount` erase blocks, the first of which begins at page `firstPage`,
 * with one vendor command 0xC8/0x0A (no data). Returns 1 when the device reported
 * success; 0 otherwise, and 0 with nothing sent when the blocks would pass page
 * 2^32 - 1 by the current device's geometry. */
QDP_API int32_t QDp_EraseBlocks(uint32_t firstPage, uint8_t blockCount);

/* One I2C transfer to (Send) or from (Receive) the recorder's controller, of
 * `length` bytes, at most 64, with vendor command 0xC8/0x02 or 0xC8/0x03. The
 * buffer holds `length` bytes; Send only reads it. Returns 1 when the device
 * reported success, 0 otherwise; 0 with nothing sent for a length over 64 or a null
 * buffer with a nonzero length. A length of 0 sends a command without data. */
QDP_API int32_t QDp_SendI2C(const void* buffer, uint8_t length);
QDP_API int32_t QDp_ReceiveI2C(void* buffer, uint8_t length);

/* A send of `outLength` bytes from `outBuffer`, then a receive of `inLength` bytes
 * into `inBuffer`, as one request and its reply. A length of 0 leaves that transfer
 * out; the receive is made only when the send succeeded or was left out. The two
 * buffers may be the same memory: the send is complete before the receive begins.
 * Returns nonzero when every transfer made succeeded (so nonzero when both lengths
 * are 0). Returns 0 with nothing sent when a buffer is null with a nonzero length or
 * outLength is over 64; an inLength over 64 fails the receive, after the send. */
QDP_API uint8_t QDp_SendReceiveI2C(const void* outBuffer, uint8_t outLength, void* inBuffer,
                                   uint8_t inLength);

#ifdef __cplusplus
}
#endif

#endif
