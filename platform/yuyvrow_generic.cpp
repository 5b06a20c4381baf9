#include "yuyvrow.h"

BgrToYuyvRow fastBgrToYuyvRow()
{
    return nullptr;
}

BgrColumnsToYuyv fastBgrColumnsToYuyv()
{
    return nullptr;
}
