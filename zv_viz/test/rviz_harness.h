// Helpers of the tests and benchmarks that run the real RViz on a virtual X display: processes in
// their own groups, Xvfb on a free display, xdotool and ImageMagick for input, pixels and screenshots.
// Screen positions used with them are those of the test configurations' fixed windows.
#ifndef ZV_VIZ_TEST_RVIZ_HARNESS_H
#define ZV_VIZ_TEST_RVIZ_HARNESS_H

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace zv_viz_test
{
// Starts argv in its own process group; returns the pid, or -1.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& display)
{
  const pid_t pid = fork();
  if (pid != 0)
  {
    return pid;
  }
  setpgid(0, 0);
  if (!display.empty())
  {
    setenv("DISPLAY", display.c_str(), 1);
  }
  const int devnull = open("/dev/null", O_RDWR);
  dup2(devnull, STDIN_FILENO);
  dup2(devnull, STDOUT_FILENO);
  std::vector<char*> argv;
  for (const std::string& a : args)
  {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

inline bool waitExit(pid_t pid, double seconds, int* status)
{
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(seconds);
  while (ros::WallTime::now() < end)
  {
    if (waitpid(pid, status, WNOHANG) == pid)
    {
      return true;
    }
    ros::WallDuration(0.05).sleep();
  }
  return false;
}

// Stops a process this test started: politely first, then by force.
inline void stop(pid_t pid)
{
  if (pid <= 0)
  {
    return;
  }
  int status = 0;
  kill(pid, SIGTERM);
  if (!waitExit(pid, 15.0, &status))
  {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

struct Processes
{
  ~Processes()
  {
    stop(rviz);
    stop(xvfb);
  }
  pid_t xvfb = -1;
  pid_t rviz = -1;
};

// Xvfb picks a free display itself and writes its number once it accepts clients.
inline std::string startXvfb(Processes& procs)
{
  int fds[2];
  if (pipe(fds) != 0)
  {
    return "";
  }
  procs.xvfb =
      spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x900x24", "-nolisten", "tcp"}, "");
  close(fds[1]);
  std::string number;
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(60.0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  while (ros::WallTime::now() < end)
  {
    char c;
    const ssize_t n = read(fds[0], &c, 1);
    if (n == 1)
    {
      if (c == '\n')
      {
        break;
      }
      number += c;
    }
    else if (n == 0)
    {
      break;
    }
    else
    {
      ros::WallDuration(0.05).sleep();
    }
  }
  close(fds[0]);
  return number.empty() ? "" : ":" + number;
}

// Runs a short command (xdotool, import) on the display; true when it exits with 0 in time.
inline bool run(const std::vector<std::string>& args, const std::string& display, double timeout = 60.0)
{
  const pid_t pid = spawn(args, display);
  int status = -1;
  if (!waitExit(pid, timeout, &status))
  {
    stop(pid);
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The colour of one pixel of the screen, read through ImageMagick; false when it cannot be read.
inline bool pixel(const std::string& display, int x, int y, int* r, int* g, int* b)
{
  const std::string cmd = "DISPLAY=" + display + " import -window root -crop 1x1+" + std::to_string(x) + "+" +
                          std::to_string(y) + " -depth 8 txt:- 2>/dev/null";
  FILE* out = popen(cmd.c_str(), "r");
  if (out == nullptr)
  {
    return false;
  }
  char line[256];
  bool found = false;
  while (std::fgets(line, sizeof line, out) != nullptr)
  {
    found = found || std::sscanf(line, "0,0: (%d,%d,%d", r, g, b) == 3;
  }
  pclose(out);
  return found;
}

// Waits until the pixel at (x, y) passes the test: a widget the test is about to use is there.
inline bool waitForPixel(const std::string& display, int x, int y, const std::function<bool(int, int, int)>& test,
                         double seconds)
{
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(seconds);
  while (ros::WallTime::now() < end)
  {
    int r = 0, g = 0, b = 0;
    if (pixel(display, x, y, &r, &g, &b) && test(r, g, b))
    {
      return true;
    }
    ros::WallDuration(0.2).sleep();
  }
  return false;
}

inline bool white(int r, int g, int b)
{
  return r == 255 && g == 255 && b == 255;
}

// The highlight of a selected entry in a list.
inline bool blue(int r, int /*g*/, int b)
{
  return b > r + 60;
}

inline bool screenshot(const std::string& display, const std::string& name)
{
  const std::string dir = ZV_ARTIFACTS_DIR;
  mkdir(dir.c_str(), 0755);
  const std::string shot = dir + "/" + name;
  unlink(shot.c_str());
  struct stat info;
  return run({"import", "-window", "root", shot}, display) && stat(shot.c_str(), &info) == 0 && info.st_size > 1000;
}

// Takes a screenshot when the test ends, passed or failed: the picture shows what went on.
struct ScreenshotAtEnd
{
  ~ScreenshotAtEnd()
  {
    if (!display.empty())
    {
      EXPECT_TRUE(screenshot(display, name)) << "no screenshot " << name;
    }
  }
  std::string display;
  std::string name;
};

}  // namespace zv_viz_test

#endif  // ZV_VIZ_TEST_RVIZ_HARNESS_H
