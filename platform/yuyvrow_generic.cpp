#include "yuyvrow.h"

BgrToYuyvRow fastBgrToYuyvRow()
{
    return nullptr;
}

BgrColumnsToYuyv fastBgrColumnsToYuyv()
{
    return nullptr;
}

Ycc420ToYuyvRow fastYcc420ToYuyvRow()
{
    return nullptr;
}
