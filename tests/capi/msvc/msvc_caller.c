/* A caller built the MSVC way (clang-cl for the MSVC ABI, lld-link, no C
   runtime), linked against an import library made from VexaIMPlus.def as
   lib /def makes it. It prints the IM window title and exits 0 when the
   calls through the C interface answered as they should. */
#include "VexaIMPlusC.h"

void __stdcall start(void) {
    char title[VEXAIM_TITLE_SIZE];
    DWORD written;
    unsigned int n = VexaIM_IMPlus_GetIMTitle(title, sizeof title);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    WriteFile(out, title, n, &written, NULL);
    WriteFile(out, "\n", 1, &written, NULL);
    ExitProcess(n == 15 && VexaIM_IsInitPlus() == 0 && VexaIM_GetOutputHwnd() == NULL ? 0 : 1);
}
