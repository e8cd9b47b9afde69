// The panel inside the real RViz on a virtual X display: a configuration saved enabled on the
// reference topic streams zeros at 20 Hz from start-up, and a screenshot of the window is kept.
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
#include <cstring>
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
  const ros::WallTime first_deadline = ros::WallTime::now() + ros::WallDuration(90.0);
  while (arrivals.empty() && ros::WallTime::now() < first_deadline)
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.05));
  }
  ASSERT_FALSE(arrivals.empty()) << "no ReferenceState from the panel in RViz within 90 s";

  const ros::WallTime window_start = ros::WallTime::now();
  const size_t before = arrivals.size();
  const ros::WallTime window_end = window_start + ros::WallDuration(4.0);
  while (ros::WallTime::now() < window_end)
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.05));
  }
  const double rate = (arrivals.size() - before) / (ros::WallTime::now() - window_start).toSec();
  EXPECT_GT(rate, 16.0);
  EXPECT_LT(rate, 24.0);
  for (const zv_msgs::ReferenceState& m : received)
  {
    EXPECT_EQ(0.0f, m.yaw);
    EXPECT_EQ(0.0f, m.pitch);
  }

  const std::string dir = ZV_ARTIFACTS_DIR;
  mkdir(dir.c_str(), 0755);
  const std::string shot = dir + "/zv_viz_panel.png";
  unlink(shot.c_str());
  const pid_t import = spawn({"import", "-window", "root", shot}, display);
  int status = -1;
  ASSERT_TRUE(waitExit(import, 60.0, &status)) << "import did not finish within 60 s";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat info;
  ASSERT_EQ(0, stat(shot.c_str(), &info)) << "no screenshot at " << shot;
  EXPECT_GT(info.st_size, 1000);
}

}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_zorvik_panel_rviz");
  ros::NodeHandle nh;
  return RUN_ALL_TESTS();
}
