#include "zv_sim/pty_link.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace zv_sim
{
namespace
{
// What the line may hold for a host that is not reading: about 0.3 s of
// encoder frames. Older samples are worthless to a controller anyway.
const size_t kMaxPending = 1024;

std::string errnoText(const std::string& what)
{
  return what + ": " + std::strerror(errno);
}

void sleepFor(double seconds)
{
  if (seconds <= 0)
  {
    return;
  }
  timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  nanosleep(&ts, nullptr);
}
}  // namespace

PtyLink::PtyLink(const std::string& link_path) : link_path_(link_path)
{
  int slave = -1;
  char name[256] = {};
  termios tio;
  std::memset(&tio, 0, sizeof tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  if (openpty(&master_, &slave, name, &tio, nullptr) != 0)
  {
    throw std::runtime_error(errnoText("cannot create a pseudo-terminal (openpty)"));
  }
  slave_path_ = name;
  // Only the host keeps the slave open, so a closed port shows as a hang-up.
  close(slave);
  int flags = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, flags | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);

  struct stat st;
  if (lstat(link_path_.c_str(), &st) == 0)
  {
    if (!S_ISLNK(st.st_mode))
    {
      close(master_);
      throw std::runtime_error("link path " + link_path_ +
                               " exists and is not a symlink: remove it or choose another path (~link)");
    }
    unlink(link_path_.c_str());  // left behind by an earlier run
  }
  if (symlink(slave_path_.c_str(), link_path_.c_str()) != 0)
  {
    const std::string msg = errnoText("cannot create symlink " + link_path_ + " -> " + slave_path_);
    close(master_);
    throw std::runtime_error(msg + " (choose a writable path with ~link)");
  }
}

PtyLink::~PtyLink()
{
  char target[256] = {};
  const ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
  // Another emulator may have taken the path over since: leave its link alone.
  if (n > 0 && slave_path_ == std::string(target, static_cast<size_t>(n)))
  {
    unlink(link_path_.c_str());
  }
  close(master_);
}

void PtyLink::setHostPresent(bool present)
{
  if (host_present_ && !present)
  {
    host_lost_ = true;
    pending_.clear();
  }
  host_present_ = present;
}

bool PtyLink::takeHostLost()
{
  const bool lost = host_lost_;
  host_lost_ = false;
  return lost;
}

bool PtyLink::receive(std::vector<uint8_t>& in, double timeout_s)
{
  pollfd pfd;
  pfd.fd = master_;
  pfd.events = POLLIN;
  if (!pending_.empty())
  {
    pfd.events |= POLLOUT;
  }
  pfd.revents = 0;
  const int timeout_ms = timeout_s > 0 ? static_cast<int>(timeout_s * 1000.0 + 0.5) : 0;
  const int ready = poll(&pfd, 1, timeout_ms);
  if (ready < 0)
  {
    // Interrupted by a signal: the caller's loop checks whether to stop.
    return host_present_;
  }
  if (pfd.revents & POLLIN)
  {
    uint8_t buf[512];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0)
    {
      in.insert(in.end(), buf, buf + n);
      setHostPresent(true);
      flush();
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
    {
      return host_present_;
    }
    // EIO: the slave has no opener; fall through to the hang-up handling.
    pfd.revents |= POLLHUP;
  }
  if (pfd.revents & (POLLHUP | POLLERR))
  {
    setHostPresent(false);
    // poll() reports a hang-up at once; wait the timeout out here.
    sleepFor(timeout_s);
    return false;
  }
  // No hang-up: somebody has the slave open.
  setHostPresent(true);
  flush();
  return host_present_;
}

void PtyLink::send(const std::vector<uint8_t>& out)
{
  if (out.empty())
  {
    return;
  }
  if (!host_present_ || pending_.size() + out.size() > kMaxPending)
  {
    bytes_dropped_ += out.size();
    return;
  }
  pending_.insert(pending_.end(), out.begin(), out.end());
  flush();
}

void PtyLink::flush()
{
  while (!pending_.empty())
  {
    const ssize_t n = write(master_, pending_.data(), pending_.size());
    if (n > 0)
    {
      pending_.erase(pending_.begin(), pending_.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR)
    {
      continue;
    }
    if (n < 0 && errno == EIO)
    {
      setHostPresent(false);
    }
    return;  // EAGAIN: the line is full, try again later
  }
}

}  // namespace zv_sim
