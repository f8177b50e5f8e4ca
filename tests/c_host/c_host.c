/* A host program in C: links the shared library through the public header, and
 * loads it at run time by name, as other programs do. No recorder is attached, so
 * every device command must fail cleanly. */
#include "QDp_FW_FirstUpdater.h"

#include <dlfcn.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition);                        \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static void CallsThroughTheHeader(void) {
    FlashParams params;
    unsigned char buffer[128];
    unsigned char cdb[16] = {0x12};

    CHECK(sizeof(FlashParams) == 12);
    CHECK(offsetof(FlashParams, pageSize) == 9);
    memset(&params, 0xAA, sizeof params);
    QDp_GetFlashParams(&params);
    CHECK(params.unitCount == 0 && params.pageSize == 0);
    CHECK(QDp_GetSectorSize() == 512);
    /* Nothing selected yet: the device path names no drive. */
    CHECK(Execute_SCSI_Cmd(1, cdb, buffer, sizeof buffer) == 0);
    CHECK(QDp_EraseBlocks(0, 1) == 0);
    CHECK(QDp_ReadPages(0, buffer, 1) == 0);
    CHECK(QDp_WritePages(0, buffer, 1) == 0);
    CHECK(QDp_ReadPartsOfPages(0, 1, 0, 16, 1, buffer) == 0);
    CHECK(QDp_SendI2C(buffer, 65) == 0);
    CHECK(QDp_ReceiveI2C(buffer, 65) == 0);
    CHECK(QDp_SendI2C(buffer, 4) == 0);
    CHECK(QDp_SendReceiveI2C(NULL, 0, NULL, 0) == 1);
    CHECK(QDp_IsConnected(NULL) == 0);
}

static void LoadsByName(const char* library) {
    static const char* const names[] = {
        "Execute_SCSI_Cmd",  "QDp_GetDevices", "QDp_IsConnected", "QDp_GetFlashParams",
        "QDp_GetSectorSize", "QDp_ReadPages",  "QDp_WritePages",  "QDp_ReadPartsOfPages",
        "QDp_EraseBlocks",   "QDp_SendI2C",    "QDp_ReceiveI2C",  "QDp_SendReceiveI2C"};
    size_t i;
    void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    CHECK(module != NULL);
    if (module == NULL) {
        return;
    }
    for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
        CHECK(dlsym(module, names[i]) != NULL);
    }
    {
        uint32_t (*sectorSize)(void) = NULL;
        *(void**)(&sectorSize) = dlsym(module, "QDp_GetSectorSize");
        CHECK(sectorSize != NULL && sectorSize() == 512);
    }
    /* Only the device-access functions are exported. */
    CHECK(dlsym(module, "_ZN3qdp12CheckInquiryEv") == NULL);
    dlclose(module);
}

int main(int argc, char** argv) {
    CallsThroughTheHeader();
    LoadsByName(argc > 1 ? argv[1] : "libQDp_FW_FirstUpdater.so");
    printf("%s\n", failures == 0 ? "C host: all checks passed" : "C host: checks failed");
    return failures == 0 ? 0 : 1;
}
