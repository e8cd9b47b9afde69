#include "zv_rig/rig_params.h"

namespace zv_rig
{
const std::array<RigParamField, 24> kRigParamFields = {{
    {"l1", &RigParams::l1},   {"l2", &RigParams::l2},     {"l3x", &RigParams::l3x}, {"l3y", &RigParams::l3y},
    {"l3z", &RigParams::l3z}, {"lT", &RigParams::lT},     {"d", &RigParams::d},     {"m1", &RigParams::m1},
    {"m2", &RigParams::m2},   {"m3", &RigParams::m3},     {"J1x", &RigParams::J1x}, {"J1y", &RigParams::J1y},
    {"J1z", &RigParams::J1z}, {"J2x", &RigParams::J2x},   {"J2y", &RigParams::J2y}, {"J2z", &RigParams::J2z},
    {"J3x", &RigParams::J3x}, {"J3y", &RigParams::J3y},   {"J3z", &RigParams::J3z}, {"Bphi", &RigParams::Bphi},
    {"Bth", &RigParams::Bth}, {"Bpsi", &RigParams::Bpsi}, {"km", &RigParams::km},   {"g", &RigParams::g},
}};

}  // namespace zv_rig
