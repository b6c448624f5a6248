// A program file that reaches for device.h: the build must refuse it.
#include "platform.h"
#include "device.h"
