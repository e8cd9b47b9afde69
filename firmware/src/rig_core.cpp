#include "zv_firmware/rig_core.h"
