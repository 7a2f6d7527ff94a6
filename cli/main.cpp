#include "common/version.h"

#include <cstdio>

int main()
{
    std::printf("brigant-fw %s\n", brigant::kVersionText);
    return 0;
}
