// zv_model_step_bench RIG_FILE...: the rig model's cost per step and per
// simulated second (1000 steps at the emulator's 1 kHz) on one core, for each
// rig file given, while the throttles sweep so that every motor and friction
// branch is taken.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "zv_rig/rig_file.h"
#include "zv_sim/rig_model.h"

int main(int argc, char** argv)
{
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: zv_model_step_bench RIG_FILE...\n");
    return 2;
  }
  const int kSteps = 2000000;  // 2000 simulated seconds
  for (int i = 1; i < argc; ++i)
  {
    zv_rig::RigDescription rig;
    const std::string error = zv_rig::readRigFile(argv[i], rig);
    if (!error.empty())
    {
      std::fprintf(stderr, "zv_model_step_bench: %s\n", error.c_str());
      return 2;
    }
    zv_sim::RigModel model(rig);
    double checksum = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < kSteps; ++k)
    {
      const double t = k * 1e-3;
      model.setThrottles(0.7 + 0.25 * std::sin(1.3 * t), 0.7 + 0.25 * std::cos(0.7 * t));
      model.step(1e-3);
      checksum += model.state().pitch;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double ns_per_step = 1e9 * seconds / kSteps;
    volatile double keep = checksum;  // the loop's result is used, so it is not optimised away
    (void)keep;
    std::printf("rig model %-40s %7.1f ns per step, %6.3f ms per simulated second (%.3f %% of real time)\n", argv[i],
                ns_per_step, ns_per_step * 1e-3, ns_per_step * 1e-4);
  }
  return 0;
}
