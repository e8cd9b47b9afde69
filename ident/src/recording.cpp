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
  if (!t.empty())
  {
    s.t.assign(t.begin() + begin, t.begin() + end);
  }
  if (!delays.empty())
  {
    s.delays.assign(delays.begin() + begin, delays.begin() + end);
  }
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

// Arrivals this many frames ahead still bound a frame's time.
const size_t kLookAhead = 40;
const size_t kSpan = 20;
}  // namespace

std::string alignRecording(const RawRecording& raw, Series& out)
{
  const size_t n = raw.state_t.size();
  if (n < 3)
  {
    return "fewer than 3 measured states";
  }
  // The period: the median spacing over spans of kSpan frames. Over a single
  // interval a late frame and the early one after it pull the median below
  // the period (by 0.3 % in a recording of the simulated rig); over longer
  // spans the host's delays matter less, and lost frames, rare, not at all.
  const size_t span = std::min<size_t>(kSpan, n - 1);
  std::vector<double> gaps;
  for (size_t i = span; i < n; ++i)
  {
    gaps.push_back((raw.state_t[i] - raw.state_t[i - span]) / double(span));
  }
  const double period = median(gaps);
  if (!(period > 0) || !std::isfinite(period))
  {
    return "the measured states carry no usable time stamps";
  }
  // A frame arrives after the rig made it, never before; a frame j made
  // later arrives no earlier than (j - i) periods after frame i was made
  // (the rig's clock only ever falls behind). So frame i was made at the
  // latest at the earliest of t_j - (j - i) * period over the frames after
  // it, which is when it was made up to the quickest delivery among them.
  // Looking back instead would carry a rig's fall behind into earlier frames.
  Series s;
  s.period = period;
  s.t.assign(n, 0.0);
  for (size_t i = n; i-- > 0;)
  {
    double made = raw.state_t[i];
    for (size_t j = i + 1; j < n && j <= i + kLookAhead; ++j)
    {
      made = std::min(made, raw.state_t[j] - double(j - i) * period);
    }
    s.t[i] = made;
  }
  for (size_t i = 1; i < n; ++i)
  {
    s.t[i] = std::max(s.t[i], s.t[i - 1] + 0.5 * period);  // frames keep their order
  }
  s.angles = raw.angles;
  s.measured.assign(n, true);
  const size_t frames = n;

  // Each throttle frame answers the newest state that arrived before it.
  s.throttle_after.assign(frames, {{0, 0}});
  s.delays.assign(frames, 0.0);
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
    s.throttle_after[i] = raw.throttles[j];
    if (!answered[i])
    {
      s.delays[i] = raw.throttle_t[j] - s.t[i];  // from when the rig made the frame
      delays.push_back(s.delays[i]);
    }
    answered[i] = true;
  }
  if (delays.empty())
  {
    return "no throttle frame was sent while states arrived";
  }
  s.delay = std::min(std::max(median(delays), 0.0), period);
  for (size_t k = 0; k < frames; ++k)
  {
    // A frame no command answered keeps its throttles: when does not matter.
    s.delays[k] = answered[k] ? std::max(s.delays[k], 0.0) : s.delay;
  }
  const double t0 = s.t[0];
  for (double& t : s.t)
  {
    t -= t0;
  }
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
