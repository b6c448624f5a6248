// A program file that reaches for host/internal.h: the build must refuse it.
#include "platform.h"
#include "host/internal.h"
