// zv_step_metrics: the step figures of analyseStep() for records kept as CSV,
// so that tools outside C++ (the plot of a recorded run) report the same
// figures as the closed-loop test and the benchmark.
//
//   zv_step_metrics SAMPLES.csv STEPS.csv [--final-window S] [--band FRACTION]
//
// SAMPLES.csv: a header line naming the columns, one of them "t" (seconds, in
// time order), then one row per sample (e.g. t,roll,pitch,yaw).
// STEPS.csv: header "signal,t_step,initial,target,t_end", one row per step:
// the column of SAMPLES to analyse, the step's time, the value before and the
// value asked for, and the end of the step's window (the next step, or the end
// of the record). Only samples in [t_step, t_end) enter a step's figures.
// Writes to stdout the steps' rows followed by rise_time, overshoot,
// settling_time, steady_state_error and peak_error (seconds, fraction of the
// step, signal units; "nan" where the response never got there). Exits 2 on
// unusable input, naming the file, line and value.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "zv_sim/step_metrics.h"

namespace
{
struct Table
{
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  std::vector<size_t> lines;  // line number of each row, for messages
};

std::vector<std::string> splitCsv(const std::string& line)
{
  std::vector<std::string> cells;
  std::stringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ','))
  {
    cells.push_back(cell);
  }
  if (!line.empty() && line.back() == ',')
  {
    cells.emplace_back();
  }
  return cells;
}

bool readTable(const std::string& path, Table& table, std::string& error)
{
  std::ifstream in(path);
  if (!in)
  {
    error = path + ": cannot open it";
    return false;
  }
  std::string line;
  size_t number = 0;
  while (std::getline(in, line))
  {
    ++number;
    if (!line.empty() && line.back() == '\r')
    {
      line.pop_back();
    }
    if (line.empty())
    {
      continue;
    }
    std::vector<std::string> cells = splitCsv(line);
    if (table.columns.empty())
    {
      table.columns = cells;
      continue;
    }
    if (cells.size() != table.columns.size())
    {
      std::ostringstream msg;
      msg << path << ":" << number << ": " << cells.size() << " cells where the header has " << table.columns.size();
      error = msg.str();
      return false;
    }
    table.rows.push_back(cells);
    table.lines.push_back(number);
  }
  if (table.columns.empty())
  {
    error = path + ": empty (a header line is needed)";
    return false;
  }
  return true;
}

int columnIndex(const Table& table, const std::string& name)
{
  const auto it = std::find(table.columns.begin(), table.columns.end(), name);
  return it == table.columns.end() ? -1 : static_cast<int>(it - table.columns.begin());
}

// Whole cell as a number ("nan" and "inf" are numbers too; callers decide).
bool parseNumber(const std::string& cell, double& value)
{
  if (cell.empty())
  {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtod(cell.c_str(), &end);
  return end == cell.c_str() + cell.size() && errno != ERANGE;
}

bool number(const Table& table, size_t row, int column, const std::string& path, double& value, std::string& error)
{
  if (!parseNumber(table.rows[row][column], value))
  {
    std::ostringstream msg;
    msg << path << ":" << table.lines[row] << ": column " << table.columns[column] << " is '" << table.rows[row][column]
        << "', not a number";
    error = msg.str();
    return false;
  }
  return true;
}

struct Series
{
  std::vector<double> t, y;
  size_t dropped = 0;  // samples with a non-finite value
};

int usage()
{
  std::fprintf(stderr,
               "usage: zv_step_metrics SAMPLES.csv STEPS.csv [--final-window SECONDS] [--band FRACTION]\n"
               "  SAMPLES.csv: header with a column t, then samples in time order\n"
               "  STEPS.csv:   header signal,t_step,initial,target,t_end, one row per step\n");
  return 2;
}

int fail(const std::string& error)
{
  std::fprintf(stderr, "zv_step_metrics: %s\n", error.c_str());
  return 2;
}

void printValue(double v)
{
  if (std::isnan(v))
  {
    std::printf("nan");
  }
  else
  {
    std::printf("%.9g", v);
  }
}
}  // namespace

int main(int argc, char** argv)
{
  std::vector<std::string> files;
  double final_window = 1.0, band = 0.02;
  for (int i = 1; i < argc; ++i)
  {
    const std::string arg = argv[i];
    if (arg == "--final-window" || arg == "--band")
    {
      double value = 0;
      if (i + 1 >= argc || !parseNumber(argv[i + 1], value) || !std::isfinite(value) || value <= 0)
      {
        return fail(arg + " needs a positive number" +
                    (i + 1 < argc ? std::string(", not '") + argv[i + 1] + "'" : ""));
      }
      (arg == "--band" ? band : final_window) = value;
      ++i;
    }
    else if (arg == "-h" || arg == "--help")
    {
      usage();
      return 0;
    }
    else
    {
      files.push_back(arg);
    }
  }
  if (files.size() != 2)
  {
    return usage();
  }

  std::string error;
  Table samples, steps;
  if (!readTable(files[0], samples, error) || !readTable(files[1], steps, error))
  {
    return fail(error);
  }
  const int t_column = columnIndex(samples, "t");
  if (t_column < 0)
  {
    return fail(files[0] + ": no column 't' in the header");
  }
  const char* step_columns[] = {"signal", "t_step", "initial", "target", "t_end"};
  int step_index[5];
  for (int k = 0; k < 5; ++k)
  {
    step_index[k] = columnIndex(steps, step_columns[k]);
    if (step_index[k] < 0)
    {
      return fail(files[1] + ": no column '" + step_columns[k] +
                  "' in the header (signal,t_step,initial,target,t_end)");
    }
  }

  std::vector<double> times(samples.rows.size());
  for (size_t r = 0; r < samples.rows.size(); ++r)
  {
    if (!number(samples, r, t_column, files[0], times[r], error))
    {
      return fail(error);
    }
    if (!std::isfinite(times[r]) || (r > 0 && times[r] < times[r - 1]))
    {
      std::ostringstream msg;
      msg << files[0] << ":" << samples.lines[r] << ": time " << samples.rows[r][t_column]
          << " is not finite or goes backwards; samples must be in time order";
      return fail(msg.str());
    }
  }

  // One series per signal asked for, read once however many steps use it.
  std::map<std::string, Series> series;
  std::printf("signal,t_step,initial,target,t_end,rise_time,overshoot,settling_time,steady_state_error,peak_error\n");
  for (size_t s = 0; s < steps.rows.size(); ++s)
  {
    const std::string signal = steps.rows[s][step_index[0]];
    double t_step = 0, initial = 0, target = 0, t_end = 0;
    if (!number(steps, s, step_index[1], files[1], t_step, error) ||
        !number(steps, s, step_index[2], files[1], initial, error) ||
        !number(steps, s, step_index[3], files[1], target, error) ||
        !number(steps, s, step_index[4], files[1], t_end, error))
    {
      return fail(error);
    }
    const int column = columnIndex(samples, signal);
    if (column < 0 || column == t_column)
    {
      std::ostringstream msg;
      msg << files[1] << ":" << steps.lines[s] << ": signal '" << signal << "' is not a column of " << files[0];
      return fail(msg.str());
    }
    if (series.find(signal) == series.end())
    {
      Series& fresh = series[signal];
      for (size_t r = 0; r < samples.rows.size(); ++r)
      {
        double v = 0;
        if (!number(samples, r, column, files[0], v, error))
        {
          return fail(error);
        }
        if (!std::isfinite(v))
        {
          ++fresh.dropped;
          continue;
        }
        fresh.t.push_back(times[r]);
        fresh.y.push_back(v);
      }
      if (fresh.dropped > 0)
      {
        std::fprintf(stderr, "zv_step_metrics: warning: %zu samples of %s are not finite and were left out\n",
                     fresh.dropped, signal.c_str());
      }
    }
    const Series& all = series[signal];
    const size_t begin = std::lower_bound(all.t.begin(), all.t.end(), t_step) - all.t.begin();
    const size_t end = std::lower_bound(all.t.begin(), all.t.end(), t_end) - all.t.begin();
    const std::vector<double> t(all.t.begin() + begin, all.t.begin() + std::max(begin, end));
    const std::vector<double> y(all.y.begin() + begin, all.y.begin() + std::max(begin, end));
    const zv_sim::StepMetrics m = zv_sim::analyseStep(t, y, t_step, initial, target, final_window, band);

    std::printf("%s", signal.c_str());
    for (double v : {t_step, initial, target, t_end, m.rise_time, m.overshoot, m.settling_time, m.steady_state_error,
                     m.peak_error})
    {
      std::printf(",");
      printValue(v);
    }
    std::printf("\n");
  }
  return 0;
}
