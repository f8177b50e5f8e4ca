/* Lists the recorders attached to this computer and shows the flash geometry of the
 * first one, through the device-access functions of QDp_FW_FirstUpdater. */
#include <QDp_FW_FirstUpdater.h>

#include <stdio.h>
#include <stdlib.h>

int main(void) {
    char* devices[9];
    char* name = NULL;
    FlashParams params;
    int32_t count = QDp_GetDevices(devices);
    int32_t i;

    printf("%d recorder(s) found\n", (int)count);
    for (i = 0; i < count; ++i) {
        printf("  %s\n", devices[i]);
    }
    QDp_FreeDevices(devices, count);

    if (QDp_IsConnected(&name)) {
        QDp_GetFlashParams(&params);
        printf("%s: %u unit(s) of %u blocks of %u pages of %u bytes, sectors of %u bytes\n", name,
               params.unitCount, params.blocksPerUnit, params.pagesPerBlock, params.pageSize,
               (unsigned)QDp_GetSectorSize());
        free(name);
    }
    return 0;
}
