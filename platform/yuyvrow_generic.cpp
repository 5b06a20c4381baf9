#include "yuyvrow.h"

BgrToYuyvRow fastBgrToYuyvRow()
{
    return nullptr;
}
