// A program file that reaches for host/device.h: the build must refuse it.
#include "platform.h"
#include "host/device.h"
