// The panel inside the real RViz on a virtual X display: a configuration saved enabled on the
// reference topic streams zeros at 20 Hz from start-up; a panel added through Panels > Add New
// Panel works once a topic is picked and "Enabled" ticked. Screenshots of both are kept.
#include <gtest/gtest.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <zv_msgs/ReferenceState.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace
{
// Starts argv in its own process group; returns the pid, or -1.
pid_t spawn(const std::vector<std::string>& args, const std::string& display, int keep_fd = -1)
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
  if (keep_fd < 0)
  {
    dup2(devnull, STDOUT_FILENO);
  }
  std::vector<char*> argv;
  for (const std::string& a : args)
  {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

bool waitExit(pid_t pid, double seconds, int* status)
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
void stop(pid_t pid)
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
std::string startXvfb(Processes& procs)
{
  int fds[2];
  if (pipe(fds) != 0)
  {
    return "";
  }
  procs.xvfb =
      spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x900x24", "-nolisten", "tcp"}, "", -1);
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
bool run(const std::vector<std::string>& args, const std::string& display, double timeout = 60.0)
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
bool pixel(const std::string& display, int x, int y, int* r, int* g, int* b)
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
bool waitForPixel(const std::string& display, int x, int y, const std::function<bool(int, int, int)>& test,
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

bool white(int r, int g, int b)
{
  return r == 255 && g == 255 && b == 255;
}

// The highlight of a selected entry in a list.
bool blue(int r, int /*g*/, int b)
{
  return b > r + 60;
}

bool screenshot(const std::string& display, const std::string& name)
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

// Message rate over a window of `seconds`, after the first message came within `first_timeout`.
double measureRate(double first_timeout, double seconds);

std::vector<ros::WallTime> arrivals;
std::vector<zv_msgs::ReferenceState> received;

void onReference(const zv_msgs::ReferenceState::ConstPtr& msg)
{
  arrivals.push_back(ros::WallTime::now());
  received.push_back(*msg);
}

TEST(ZorvikPanelInRviz, SavedEnabledPanelStreamsAndShows)
{
  Processes procs;
  const std::string display = startXvfb(procs);
  ASSERT_FALSE(display.empty()) << "Xvfb did not report a display within 60 s";

  ros::NodeHandle nh;
  ros::Subscriber sub = nh.subscribe("/zv_reference_state", 100, onReference, ros::TransportHints().tcpNoDelay());
  procs.rviz = spawn({"rviz", "-d", std::string(ZV_VIZ_TEST_DIR) + "/reference_enabled.rviz"}, display);
  ASSERT_GT(procs.rviz, 0);

  // RViz with software rendering can take a while on a loaded machine.
  const double rate = measureRate(90.0, 4.0);
  ASSERT_FALSE(arrivals.empty()) << "no ReferenceState from the panel in RViz within 90 s";
  EXPECT_GT(rate, 16.0);
  EXPECT_LT(rate, 24.0);
  for (const zv_msgs::ReferenceState& m : received)
  {
    EXPECT_EQ(0.0f, m.yaw);
    EXPECT_EQ(0.0f, m.pitch);
  }
  EXPECT_TRUE(screenshot(display, "zv_viz_panel.png"));
}

// RViz initialises a panel from the "Add New Panel" dialog and never loads it. The positions are
// those of no_panels.rviz's fixed window on the 1280x900 screen.
TEST(ZorvikPanelInRviz, PanelAddedFromTheDialogWorks)
{
  Processes procs;
  const std::string display = startXvfb(procs);
  ASSERT_FALSE(display.empty()) << "Xvfb did not report a display within 60 s";
  ScreenshotAtEnd shot{display, "zv_viz_added_panel.png"};
  arrivals.clear();

  ros::NodeHandle nh;
  ros::Subscriber sub = nh.subscribe("/zv_reference_state", 100, onReference, ros::TransportHints().tcpNoDelay());
  procs.rviz = spawn({"rviz", "-d", std::string(ZV_VIZ_TEST_DIR) + "/no_panels.rviz"}, display);
  ASSERT_GT(procs.rviz, 0);
  // RViz with software rendering can take a while on a loaded machine.
  ASSERT_TRUE(run({"xdotool", "search", "--sync", "--name", "no_panels.rviz - RViz"}, display, 90.0));

  // Panels > Add New Panel; the dialog's class tree is white where the 3D view was dark.
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(60.0);
  bool dialog = false;
  while (!dialog && ros::WallTime::now() < end)
  {
    run({"xdotool", "mousemove", "66", "10", "click", "1"}, display);
    run({"xdotool", "mousemove", "118", "34", "click", "1"}, display);
    dialog = waitForPixel(display, 590, 300, white, 5.0);
  }
  ASSERT_TRUE(dialog) << "the Add New Panel dialog did not open";
  // The class tree finds an entry by typing its name.
  ASSERT_TRUE(run({"xdotool", "type", "--delay", "50", "ZorvikPanel"}, display));
  ASSERT_TRUE(run({"xdotool", "key", "Return"}, display));
  ASSERT_TRUE(waitForPixel(display, 16, 512, white, 30.0)) << "no \"Enabled\" box where the added panel should show it";

  // Layout Type: open the selector (its current entry, "/zv_command", shows highlighted); one
  // entry up is "/zv_reference_state".
  ASSERT_TRUE(run({"xdotool", "mousemove", "185", "353", "click", "1"}, display));
  ASSERT_TRUE(waitForPixel(display, 245, 354, blue, 10.0)) << "the Layout Type list did not open";
  ASSERT_TRUE(run({"xdotool", "key", "Up", "Return"}, display));
  ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(1.0));
  EXPECT_TRUE(arrivals.empty()) << "the added panel published before it was enabled";
  ASSERT_TRUE(run({"xdotool", "mousemove", "16", "512", "click", "1"}, display));

  const double rate = measureRate(30.0, 4.0);
  ASSERT_FALSE(arrivals.empty()) << "no ReferenceState after picking the topic and ticking \"Enabled\"";
  EXPECT_GT(rate, 16.0);
  EXPECT_LT(rate, 24.0);
}

double measureRate(double first_timeout, double seconds)
{
  arrivals.clear();
  received.clear();
  const ros::WallTime first_deadline = ros::WallTime::now() + ros::WallDuration(first_timeout);
  while (arrivals.empty() && ros::WallTime::now() < first_deadline)
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.05));
  }
  if (arrivals.empty())
  {
    return 0.0;
  }
  const ros::WallTime window_start = ros::WallTime::now();
  const size_t before = arrivals.size();
  const ros::WallTime window_end = window_start + ros::WallDuration(seconds);
  while (ros::WallTime::now() < window_end)
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.05));
  }
  return (arrivals.size() - before) / (ros::WallTime::now() - window_start).toSec();
}

}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_zorvik_panel_rviz");
  ros::NodeHandle nh;
  return RUN_ALL_TESTS();
}
