#include "zv_firmware/quadrature.h"
