// Uses the installed library through its C++ header and import library.
#include <cstdio>
#include <cstring>

#include "VexaIMPlus.h"

int main() {
    IMPlusDLL plus;
    IMString title = plus.IMPlus_GetIMTitle();
    int init = plus.IsInitPlus();
    std::printf("c++ consumer (%d-bit): title=%s init=%d\n", static_cast<int>(sizeof(void*) * 8), title.c_str(), init);
    return (std::strcmp(title.c_str(), "VexaIM_V1.0Beta") == 0 && init == 0) ? 0 : 1;
}
