#include "zv_ident/recording.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace zv_ident
{
std::string readRecording(const std::string& path, RawRecording& out)
{
  std::ifstream in(path);
  if (!in)
  {
    return path + ": cannot be opened";
  }
  RawRecording r;
  std::string line;
  int number = 0;
  while (std::getline(in, line))
  {
    ++number;
    if (line.empty() || line[0] == '#')
    {
      continue;
    }
    std::istringstream fields(line);
    char kind = 0;
    double t = 0, a = 0, b = 0, c = 0;
    fields >> kind >> t >> a >> b;
    bool ok = !fields.fail() && std::isfinite(t) && std::isfinite(a) && std::isfinite(b);
    if (ok && kind == 'S')
    {
      fields >> c;
      ok = !fields.fail() && std::isfinite(c);
      if (ok)
      {
        r.state_t.push_back(t);
        r.angles.push_back({{a, b, c}});
        continue;
      }
    }
    else if (ok && kind == 'U')
    {
      r.throttle_t.push_back(t);
      r.throttles.push_back({{a, b}});
      continue;
    }
    std::ostringstream err;
    err << path << " line " << number << ": '" << line
        << "' is neither 'S t roll pitch yaw' nor 'U t left right' with finite numbers";
    return err.str();
  }
  out = r;
  return "";
}

Series Series::slice(size_t begin, size_t end) const
{
  Series s;
  s.period = period;
  s.delay = delay;
  s.angles.assign(angles.begin() + begin, angles.begin() + end);
  s.measured.assign(measured.begin() + begin, measured.begin() + end);
  s.throttle_before.assign(throttle_before.begin() + begin, throttle_before.begin() + end);
  s.throttle_after.assign(throttle_after.begin() + begin, throttle_after.begin() + end);
  return s;
}

namespace
{
double median(std::vector<double> v)
{
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}
}  // namespace

std::string alignRecording(const RawRecording& raw, Series& out)
{
  const size_t n = raw.state_t.size();
  if (n < 3)
  {
    return "fewer than 3 measured states";
  }
  std::vector<double> gaps;
  for (size_t i = 1; i < n; ++i)
  {
    gaps.push_back(raw.state_t[i] - raw.state_t[i - 1]);
  }
  const double period = median(gaps);
  if (!(period > 0))
  {
    return "the measured states carry no usable time stamps";
  }
  // Slot of each frame on the rig's clock. A frame arrives at its slot's time
  // or later, never earlier: the slot is the one just before its arrival,
  // counted from the least delayed arrival so far (allowed to creep, for the
  // two clocks' drift). A burst after a stall lands in one slot; frames before
  // the burst's last then step back one slot each.
  std::vector<long> slot(n, 0);
  double origin = raw.state_t[0];
  const double creep = 2e-4 * period;  // per frame: 200 ppm of drift
  for (size_t i = 1; i < n; ++i)
  {
    origin += creep;
    slot[i] = static_cast<long>(std::floor((raw.state_t[i] - origin) / period + 0.25));
    origin = std::min(origin, raw.state_t[i] - slot[i] * period);
  }
  for (size_t i = n - 1; i-- > 0;)
  {
    slot[i] = std::min(slot[i], slot[i + 1] - 1);
  }
  for (size_t i = 1; i < n; ++i)
  {
    slot[i] = std::max(slot[i], slot[i - 1] + 1);
  }
  if (slot[0] < 0)
  {
    for (size_t i = n; i-- > 0;)
    {
      slot[i] -= slot[0];
    }
  }
  const size_t frames = static_cast<size_t>(slot.back()) + 1;

  Series s;
  s.period = period;
  s.angles.assign(frames, {{0, 0, 0}});
  s.measured.assign(frames, false);
  for (size_t i = 0; i < n; ++i)
  {
    s.angles[slot[i]] = raw.angles[i];
    s.measured[slot[i]] = true;
  }
  for (size_t k = 0, last = 0; k < frames; ++k)
  {
    if (s.measured[k])
    {
      last = k;
      continue;
    }
    size_t next = k + 1;
    while (!s.measured[next])
    {
      ++next;
    }
    const double w = double(k - last) / double(next - last);
    for (int a = 0; a < 3; ++a)
    {
      s.angles[k][a] = (1 - w) * s.angles[last][a] + w * s.angles[next][a];
    }
  }

  // Each throttle frame answers the newest state that arrived before it.
  s.throttle_after.assign(frames, {{0, 0}});
  std::vector<bool> answered(frames, false);
  std::vector<double> delays;
  size_t i = 0;
  for (size_t j = 0; j < raw.throttle_t.size(); ++j)
  {
    while (i + 1 < n && raw.state_t[i + 1] <= raw.throttle_t[j])
    {
      ++i;
    }
    if (raw.state_t[i] > raw.throttle_t[j])
    {
      continue;  // before the first state
    }
    s.throttle_after[slot[i]] = raw.throttles[j];
    if (!answered[slot[i]])
    {
      delays.push_back(raw.throttle_t[j] - raw.state_t[i]);
    }
    answered[slot[i]] = true;
  }
  if (delays.empty())
  {
    return "no throttle frame was sent while states arrived";
  }
  s.delay = std::min(std::max(median(delays), 0.0), period);
  s.throttle_before.assign(frames, {{0, 0}});
  for (size_t k = 1; k < frames; ++k)
  {
    if (!answered[k])
    {
      s.throttle_after[k] = s.throttle_after[k - 1];
    }
    s.throttle_before[k] = s.throttle_after[k - 1];
  }
  s.throttle_before[0] = s.throttle_after[0];
  out = s;
  return "";
}

}  // namespace zv_ident
