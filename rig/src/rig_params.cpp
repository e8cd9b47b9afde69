#include "zv_rig/rig_params.h"

namespace zv_rig
{
#define ZV_RIG_PARAM_FIELD(key) {#key, &RigParams::key},
const std::array<RigParamField, 24> kRigParamFields = {{ZV_RIG_PARAM_KEYS(ZV_RIG_PARAM_FIELD)}};
#undef ZV_RIG_PARAM_FIELD

}  // namespace zv_rig
