// The rig end of an emulated serial line: a pseudo-terminal in raw mode whose
// slave side is reachable through a symlink, so a driver opens it like a real
// serial device. No ROS.
#ifndef ZV_SIM_PTY_LINK_H
#define ZV_SIM_PTY_LINK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zv_sim
{
class PtyLink
{
 public:
  // Creates the pseudo-terminal and the symlink `link_path` -> slave device.
  // A stale symlink at that path is replaced; anything else there is left
  // alone and reported. Throws std::runtime_error with the reason.
  explicit PtyLink(const std::string& link_path);
  // Removes the symlink if it still points at this link's slave.
  ~PtyLink();

  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  const std::string& slavePath() const
  {
    return slave_path_;
  }
  const std::string& linkPath() const
  {
    return link_path_;
  }

  // Waits at most timeout_s for bytes from the host and appends them to `in`.
  // While nobody has the slave open it just waits out the timeout, so the
  // caller's loop keeps its pace instead of spinning. Returns false when the
  // host is absent.
  bool receive(std::vector<uint8_t>& in, double timeout_s);

  // Queues bytes for the host and writes what the line takes now. Bytes are
  // dropped (whole, counted) while the host is absent or not reading.
  void send(const std::vector<uint8_t>& out);

  // Whether a host had the slave open at the last receive().
  bool hostPresent() const
  {
    return host_present_;
  }
  // True once after the host went away (closed the port).
  bool takeHostLost();
  uint64_t bytesDropped() const
  {
    return bytes_dropped_;
  }

 private:
  void flush();
  void setHostPresent(bool present);

  int master_ = -1;
  std::string slave_path_;
  std::string link_path_;
  bool host_present_ = false;
  bool host_lost_ = false;
  std::vector<uint8_t> pending_;
  uint64_t bytes_dropped_ = 0;
};

}  // namespace zv_sim

#endif  // ZV_SIM_PTY_LINK_H
