// zv_identify: fits the rig's parameters to recordings (as zv_bag_export.py
// writes them) and writes the identified rig file, the validation's samples for
// the plot, and a table on stdout. ./zv identify runs it; see README.md.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <zv_rig/rig_file.h>

#include "zv_ident/rig_fit.h"

namespace
{
const char* kUsage =
    "usage: zv_identify --base RIG_FILE --out RIG_FILE [--samples CSV] [--validate DATA]\n"
    "                   [--validation-fraction F] [--sources TEXT] DATA...\n"
    "DATA: recordings as written by zv_bag_export.py. Without --validate, the last F (default 0.2)\n"
    "of each recording is kept out of the fit and validates it.\n";

int fail(const std::string& text)
{
  std::cerr << "zv identify: " << text << std::endl;
  return 2;
}

bool load(const std::string& path, zv_ident::Series& out, std::string& err)
{
  zv_ident::RawRecording raw;
  err = zv_ident::readRecording(path, raw);
  if (err.empty())
  {
    err = zv_ident::alignRecording(raw, out);
  }
  if (!err.empty())
  {
    err = path + ": " + err;
    return false;
  }
  return true;
}

std::string percent(double v)
{
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %%", v);
  return buf;
}
}  // namespace

int main(int argc, char** argv)
{
  const auto started = std::chrono::steady_clock::now();
  std::string base_path, out_path, samples_path, validate_path, sources;
  double validation_fraction = 0.2;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i)
  {
    const std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc)
      {
        return false;
      }
      into = argv[++i];
      return true;
    };
    std::string text;
    bool ok = true;
    if (a == "--base")
      ok = value(base_path);
    else if (a == "--out")
      ok = value(out_path);
    else if (a == "--samples")
      ok = value(samples_path);
    else if (a == "--validate")
      ok = value(validate_path);
    else if (a == "--sources")
      ok = value(sources);
    else if (a == "--validation-fraction")
    {
      ok = value(text);
      if (ok)
      {
        validation_fraction = std::atof(text.c_str());
        ok = validation_fraction > 0 && validation_fraction < 0.9;
      }
    }
    else if (!a.empty() && a[0] == '-')
      ok = false;
    else
      inputs.push_back(a);
    if (!ok)
    {
      std::cerr << kUsage;
      return fail("bad argument " + a);
    }
  }
  if (inputs.empty() || base_path.empty() || out_path.empty())
  {
    std::cerr << kUsage;
    return fail("give --base, --out and at least one recording");
  }

  zv_rig::RigDescription base;
  std::string err = zv_rig::readRigFile(base_path, base);
  if (!err.empty())
  {
    return fail("the base file: " + err);
  }

  std::vector<zv_ident::Series> fit_data, validation;
  for (const std::string& path : inputs)
  {
    zv_ident::Series s;
    if (!load(path, s, err))
    {
      return fail(err);
    }
    std::printf("recording %zu: %.1f s, a frame every %.2f ms, the throttles sent %.2f ms after the frame (median)\n",
                fit_data.size() + 1, s.size() * s.period, 1e3 * s.period, 1e3 * s.delay);
    if (validate_path.empty())
    {
      const size_t cut = static_cast<size_t>(s.size() * (1.0 - validation_fraction));
      fit_data.push_back(s.slice(0, cut));
      validation.push_back(s.slice(cut, s.size()));
    }
    else
    {
      fit_data.push_back(s);
    }
  }
  if (!validate_path.empty())
  {
    zv_ident::Series s;
    if (!load(validate_path, s, err))
    {
      return fail(err);
    }
    validation.push_back(s);
  }

  zv_ident::FitOptions options;
  zv_ident::FitResult result;
  err = zv_ident::fitRig(base, fit_data, options, result);
  if (!err.empty())
  {
    return fail(err);
  }

  std::printf("%-16s %13s %13s %11s  %s\n", "parameter", "base", "identified", "sd", "");
  for (int i = 0; i < zv_ident::kFittedCount; ++i)
  {
    const zv_ident::FittedValue& v = result.values[i];
    char sd[32] = "-";
    if (v.determined)
    {
      std::snprintf(sd, sizeof sd, "%.2g", v.sd);
    }
    if (v.accepted)
    {
      std::printf("%-16s %13.6g %13.6g %11s  (%.1f %%)\n", zv_ident::fittedName(i), v.base, v.estimate, sd,
                  v.estimate != 0 ? 100 * v.sd / std::fabs(v.estimate) : 0.0);
    }
    else
    {
      std::printf("%-16s %13.6g %13s %11s  kept at base: %s (fit gave %.6g)\n", zv_ident::fittedName(i), v.base,
                  "-", sd, v.reason.c_str(), v.estimate);
    }
  }
  std::printf("solver: %s; %d iterations in all; residual %.4f rad rms\n", result.message.c_str(), result.iterations,
              result.residual_rms);

  const double window_s = options.validation_window_s;
  std::ofstream samples;
  if (!samples_path.empty())
  {
    samples.open(samples_path);
    samples << "recording,t,roll,pitch,yaw,roll_sim,pitch_sim,yaw_sim,simulated\n";
    samples.precision(8);
  }
  std::array<double, 3> sum_fit = {{0, 0, 0}};
  int counted = 0;
  for (size_t r = 0; r < validation.size(); ++r)
  {
    const zv_ident::Validation v = zv_ident::validateRig(result.rig, validation[r], window_s);
    size_t used = 0;
    for (size_t k = 0; k < v.used.size(); ++k)
    {
      used += v.used[k] ? 1 : 0;
    }
    if (used == 0)
    {
      std::printf("validation %zu: no flight to validate on\n", r + 1);
      continue;
    }
    std::printf("validation %zu (%.1f s, windows of %.1f s from the measured state): fit roll %s, pitch %s, yaw %s\n",
                r + 1, used * validation[r].period, window_s, percent(v.fit_percent[0]).c_str(),
                percent(v.fit_percent[1]).c_str(), percent(v.fit_percent[2]).c_str());
    for (int a = 0; a < 3; ++a)
    {
      sum_fit[a] += v.fit_percent[a];
    }
    ++counted;
    if (samples.is_open())
    {
      const zv_ident::Series& s = validation[r];
      for (size_t k = 0; k < s.size(); ++k)
      {
        samples << r + 1 << "," << s.time(k) << "," << s.angles[k][0] << "," << s.angles[k][1] << ","
                << s.angles[k][2] << "," << v.simulated[k][0] << "," << v.simulated[k][1] << ","
                << v.simulated[k][2] << "," << (v.used[k] ? 1 : 0) << "\n";
      }
    }
  }
  if (counted > 0)
  {
    std::printf("fit percentage: roll %.1f pitch %.1f yaw %.1f\n", sum_fit[0] / counted, sum_fit[1] / counted,
                sum_fit[2] / counted);
  }

  std::string header = "Rig file identified by ./zv identify";
  if (!sources.empty())
  {
    header += " from " + sources;
  }
  header += "\nbase: " + base_path + "; values the data left open keep the base's value";
  err = zv_rig::writeRigFile(out_path, result.rig, header);
  if (!err.empty())
  {
    return fail(err);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("wrote %s\nfit time %.1f s\n", out_path.c_str(), seconds);
  return 0;
}
