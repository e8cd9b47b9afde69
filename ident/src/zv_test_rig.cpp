// zv_test_rig: writes a rig whose truth differs from a given one, for proving
// the identification: every value ./zv identify fits is scaled by its own
// factor between 0.75 and 1.3, drawn from SEED (the same seed gives the same
// rig on every machine), and the encoders get angle noise on top of their
// counts (the sensor section's counts_per_rev, as given). What a ruler and a
// scale measure stays as it is. Prints the factors and the true values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <zv_rig/rig_file.h>

#include "zv_ident/rig_fit.h"

int main(int argc, char** argv)
{
  if (argc < 4 || argc > 5)
  {
    std::fprintf(stderr,
                 "usage: zv_test_rig SEED FROM_RIG_FILE OUT_RIG_FILE [ANGLE_NOISE_RAD]\n"
                 "  every fitted value of FROM scaled by a factor in [0.75, 1.3] drawn from SEED;\n"
                 "  angle noise (default 0.0005 rad, a third of an encoder count) switched on\n");
    return 2;
  }
  char* end = nullptr;
  const unsigned long seed = std::strtoul(argv[1], &end, 10);
  if (*end != '\0')
  {
    std::fprintf(stderr, "zv_test_rig: SEED %s is not a whole number\n", argv[1]);
    return 2;
  }
  const double noise = argc == 5 ? std::atof(argv[4]) : 0.0005;
  if (!(noise >= 0 && noise < 0.1))
  {
    std::fprintf(stderr, "zv_test_rig: angle noise %s rad: give 0 up to 0.1\n", argc == 5 ? argv[4] : "");
    return 2;
  }
  zv_rig::RigDescription rig;
  std::string err = zv_rig::readRigFile(argv[2], rig);
  if (!err.empty())
  {
    std::fprintf(stderr, "zv_test_rig: %s\n", err.c_str());
    return 1;
  }
  // The raw 32-bit draws of mt19937 are fixed by the standard; the library's
  // distributions are not, so the factor is made from them here.
  std::mt19937 rng(static_cast<std::uint32_t>(seed));
  std::array<double, zv_ident::kFittedCount> values = zv_ident::fittedValuesOf(rig);
  std::printf("%-16s %8s %12s\n", "parameter", "factor", "true value");
  for (int i = 0; i < zv_ident::kFittedCount; ++i)
  {
    const double factor = 0.75 + 0.55 * (rng() / 4294967296.0);
    values[i] *= factor;
    std::printf("%-16s %8.4f %12.6g\n", zv_ident::fittedName(i), factor, values[i]);
  }
  zv_rig::RigDescription truth = zv_ident::withFittedValues(rig, values);
  truth.sensor.angle_noise = noise;
  err = zv_rig::writeRigFile(argv[3], truth,
                             "A test rig: the fitted values of " + std::string(argv[2]) + " scaled from seed " +
                                 std::to_string(seed) + " (zv_test_rig), angle noise " + std::to_string(noise) +
                                 " rad");
  if (!err.empty())
  {
    std::fprintf(stderr, "zv_test_rig: %s\n", err.c_str());
    return 1;
  }
  return 0;
}
