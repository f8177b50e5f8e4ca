/* A host program in C: links the device-access library through the public header,
 * and loads it at run time by name, as other programs do. Built twice: against the
 * shared library with no recorder attached, where every device command must fail
 * cleanly, and against the virtual recorder, where recorders are listed and the list
 * is released as a C program releases it. */
#include "QDp_FW_FirstUpdater.h"
#include "export_names.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if !defined(QDP_WITH_VIRTUAL_RECORDERS)
#include <dlfcn.h>
#endif

static int failures = 0;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition);                        \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static void RefusesWhatCannotBeSent(void) {
    unsigned char buffer[128];
    unsigned char cdb[16] = {0x12};

    CHECK(Execute_SCSI_Cmd(1, NULL, buffer, sizeof buffer) == 0);
    CHECK(Execute_SCSI_Cmd(0, cdb, NULL, 65536) == 0);
    CHECK(QDp_SendI2C(NULL, 4) == 0);
    CHECK(QDp_ReceiveI2C(NULL, 4) == 0);
    CHECK(QDp_SendReceiveI2C(NULL, 4, buffer, 4) == 0);
    CHECK(QDp_SendReceiveI2C(NULL, 0, NULL, 0) == 1);
    CHECK(QDp_IsConnected(NULL) == 0);
    CHECK(QDp_GetDevices(NULL) == 0);
    QDp_FreeDevices(NULL, 9);
}

#if defined(QDP_WITH_VIRTUAL_RECORDERS)
/* Provided by the test's virtual host: recorders on the first `count` drives. */
void AttachVirtualRecorders(int count);

static void ListsAndReleasesRecorders(void) {
    char* devices[9];
    char* name = NULL;
    int32_t count;
    FlashParams params;

    AttachVirtualRecorders(2);
    memset(devices, 0, sizeof devices);
    count = QDp_GetDevices(devices);
    CHECK(count == 2);
    CHECK(count == 2 && strcmp(devices[1], "\\\\.\\PHYSICALDRIVE1") == 0);
    QDp_FreeDevices(devices, count); /* new[] entries released by their own function */
    CHECK(devices[0] == NULL && devices[1] == NULL);
    /* Listing selected nothing: the geometry is still that of no recorder. */
    QDp_GetFlashParams(&params);
    CHECK(params.pageSize == 0);
    CHECK(QDp_IsConnected(&name) == 1);
    CHECK(name != NULL && strcmp(name, "\\\\.\\PHYSICALDRIVE0") == 0);
    QDp_GetFlashParams(&params);
    CHECK(params.pageSize == 2048);
    free(name);
}
#else
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
}

static void LoadsByName(const char* library) {
    size_t i;
    void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    CHECK(module != NULL);
    if (module == NULL) {
        return;
    }
    for (i = 0; i < sizeof kExportNames / sizeof kExportNames[0]; ++i) {
        CHECK(dlsym(module, kExportNames[i]) != NULL);
    }
    CHECK(sizeof kExportNames / sizeof kExportNames[0] == 13);
    {
        uint32_t (*sectorSize)(void) = NULL;
        *(void**)(&sectorSize) = dlsym(module, "QDp_GetSectorSize");
        CHECK(sectorSize != NULL && sectorSize() == 512);
    }
    /* Only the device-access functions are exported. */
    CHECK(dlsym(module, "_ZN3qdp12CheckInquiryEv") == NULL);
    CHECK(dlsym(module, "_ZN3qdp9TransportE") == NULL);
    dlclose(module);
}
#endif

int main(int argc, char** argv) {
    RefusesWhatCannotBeSent();
#if defined(QDP_WITH_VIRTUAL_RECORDERS)
    (void)argc;
    (void)argv;
    ListsAndReleasesRecorders();
#else
    CallsThroughTheHeader();
    LoadsByName(argc > 1 ? argv[1] : "libQDp_FW_FirstUpdater.so");
#endif
    printf("%s\n", failures == 0 ? "C host: all checks passed" : "C host: checks failed");
    return failures == 0 ? 0 : 1;
}
