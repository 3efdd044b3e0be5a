#pragma once
// The firmware the tool carries, opened once for all the sessions of a test
// program, as the window and the command line hand theirs to each session.
#include "app/FirmwareStore.h"

inline const TFirmwareStore& TestStore()
{
    static const TFirmwareStore Store;
    return Store;
}
