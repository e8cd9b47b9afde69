// Serial transport of the hardware bridge: opens the rig's serial device
// exclusively, reads it asynchronously, writes queued frames, and reopens the
// device once a second after it failed to open or went away. Free of ROS.
//
// Threading: one I/O thread, started by start(), runs every read, write, open
// and retry; all callbacks run on it. The owner runs its own link logic there
// too, through post() and timers on io(). Methods marked "I/O thread" must only
// be called from that thread.
//
// After every (re)open nothing is written until the owner calls enableWrites()
// (once the rig has been heard): a board that resets when its port opens has
// its bootloader on the line for a second or two, and bytes sent to it are lost
// at best.
#ifndef ZV_ROS_DRIVER_SERIAL_TRANSPORT_H
#define ZV_ROS_DRIVER_SERIAL_TRANSPORT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/steady_timer.hpp>

namespace zv_ros_driver
{
class SerialTransport
{
 public:
  struct Callbacks
  {
    // The device was opened (first time or again); the link is up.
    // low_latency: "on", or "not supported by this device: <reason>".
    std::function<void(const std::string& low_latency)> on_open;
    // An open attempt failed (was_up false) or the open link failed (was_up
    // true). Another attempt follows after the retry period.
    std::function<void(const std::string& reason, bool was_up)> on_failure;
    // Everything the device had ready, read in one go, so that a backlog shows
    // as one delivery. The pointer is valid during the call only.
    std::function<void(const uint8_t* data, size_t n)> on_data;
    // One frame was handed to the device in full (last words at stop() too).
    std::function<void(const std::vector<uint8_t>& bytes)> on_written;
  };

  struct Options
  {
    std::string port = "/dev/ttyUSB0";
    unsigned baud = 115200;
    std::chrono::milliseconds retry_period{1000};
    // A write still incomplete after this, or more bytes waiting in the
    // kernel's output queue than the line sends in this time, means the device
    // stopped taking data: the link fails and is reopened.
    std::chrono::milliseconds write_timeout{250};
    // More frames waiting than this also fails the link. Replaceable frames
    // supersede each other, so only the rare others can pile up.
    size_t max_queued = 32;
  };

  SerialTransport(const Options& options, const Callbacks& callbacks);
  // Closes the device without last words if stop() was not called.
  ~SerialTransport();

  SerialTransport(const SerialTransport&) = delete;
  SerialTransport& operator=(const SerialTransport&) = delete;

  // Starts the I/O thread and the first open attempt.
  void start();
  // Drops what waits; if the link is up and writes are enabled, writes
  // last_words, waits up to drain_timeout for them to leave, closes the device
  // and joins the I/O thread. Further calls do nothing. Not on the I/O thread.
  void stop(const std::vector<std::vector<uint8_t>>& last_words, std::chrono::milliseconds drain_timeout);

  // Runs fn on the I/O thread; any thread.
  void post(std::function<void()> fn);
  // For the owner's timers; their handlers run on the I/O thread. Destroy them
  // before the transport.
  boost::asio::io_service& io()
  {
    return io_;
  }

  // I/O thread. Queues one frame at the back. A replaceable frame (a throttle:
  // only the newest matters) drops every replaceable one still waiting, so at
  // most one waits whatever came between; others keep their order. Dropped
  // while the link is down or writes are not enabled.
  void write(std::vector<uint8_t> frame, bool replaceable);
  // I/O thread. Drops every frame still waiting and queues these ahead of
  // anything written later (a frame already being written completes first).
  void writeFirst(const std::vector<std::vector<uint8_t>>& frames);
  // I/O thread. Allows writes until the link closes.
  void enableWrites();
  bool writesEnabled() const
  {
    return writes_enabled_;
  }

  bool isUp() const
  {
    return up_;
  }
  // Frames handed to the device in full.
  uint64_t buffersWritten() const
  {
    return written_;
  }
  // Replaceable frames superseded while waiting, or frames dropped by writeFirst.
  uint64_t buffersDropped() const
  {
    return dropped_;
  }

 private:
  struct Outgoing
  {
    std::vector<uint8_t> bytes;
    bool replaceable;
  };

  void tryOpen();
  std::string openDevice(std::string& low_latency);
  void scheduleRetry();
  void startRead();
  void startWrite();
  void onWritten(const boost::system::error_code& ec);
  // Drops every frame still waiting (counted) and queues these, then writes.
  void queueFirst(const std::vector<std::vector<uint8_t>>& frames);
  // Removes every frame still waiting, but one in flight; returns how many.
  size_t discardWaiting();
  void finishDrain();
  void fail(const std::string& reason);
  void closeDevice(bool discard_output);
  void runIo();

  Options options_;
  Callbacks callbacks_;

  boost::asio::io_service io_;
  std::unique_ptr<boost::asio::io_service::work> work_;
  boost::asio::serial_port port_;
  boost::asio::steady_timer retry_timer_;
  boost::asio::steady_timer write_timer_;
  boost::asio::steady_timer drain_timer_;
  std::thread thread_;

  // Owned by the I/O thread.
  std::vector<uint8_t> read_buf_;
  std::deque<Outgoing> queue_;
  bool writing_ = false;
  unsigned write_sequence_ = 0;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point drain_deadline_;

  std::atomic<bool> up_{false};
  std::atomic<bool> writes_enabled_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace zv_ros_driver

#endif  // ZV_ROS_DRIVER_SERIAL_TRANSPORT_H
