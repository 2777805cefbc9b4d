// The shared control record. Applications write its lock fields and media directly.
#include "global.h"

extern "C" {
km_control_t km;
}
