#pragma once

#include "virtualcameraholder.h"

// The still picture the virtual camera shows while no phone is connected: the program's icon and
// "Waiting for the phone" on black, 4:3, as the phone's camera most often is (the black bars that
// fit it into another size blend with it). Works without a display or a GUI application object.
StillPicture cameraCard();
