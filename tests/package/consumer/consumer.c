/* Uses the installed library through its C header and import library. */
#include <stdio.h>
#include <string.h>

#include "VexaIMPlusC.h"

int main(void) {
    char title[VEXAIM_TITLE_SIZE];
    unsigned int n = VexaIM_IMPlus_GetIMTitle(title, sizeof title);
    int init = VexaIM_IsInitPlus();
    HWND other = VexaIM_GetOutputHwnd();
    printf("c consumer (%d-bit): title=%s length=%u init=%d other=%p\n", (int)(sizeof(void*) * 8), title, n, init,
           (void*)other);
    return (n == 15 && strcmp(title, "VexaIM_V1.0Beta") == 0 && init == 0 && other == NULL) ? 0 : 1;
}
