// Serial transport of the hardware bridge: opens the rig's serial device with
// Boost.Asio, reads it asynchronously, writes queued frames, and reopens the
// device once a second after it failed to open or went away. Free of ROS.
//
// Threading: one I/O thread, started by start(), runs every read, write, open
// and retry; all callbacks run on it. send() may be called from any thread.
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
    std::function<void()> on_open;
    // An open attempt failed (was_up false) or the open link failed (was_up
    // true). Another attempt follows after the retry period.
    std::function<void(const std::string& reason, bool was_up)> on_failure;
    // Bytes as read; the pointer is valid during the call only.
    std::function<void(const uint8_t* data, size_t n)> on_data;
  };

  struct Options
  {
    std::string port = "/dev/ttyUSB0";
    unsigned baud = 115200;
    std::chrono::milliseconds retry_period{1000};
    // Frames waiting for the device beyond this are dropped oldest first, so a
    // stalled device neither grows memory nor delays fresh commands without bound.
    size_t max_queued = 64;
    // Written first after every successful open, ahead of anything sent.
    std::vector<uint8_t> greeting;
  };

  SerialTransport(const Options& options, const Callbacks& callbacks);
  // Closes the device without last words if stop() was not called.
  ~SerialTransport();

  SerialTransport(const SerialTransport&) = delete;
  SerialTransport& operator=(const SerialTransport&) = delete;

  // Starts the I/O thread and the first open attempt.
  void start();
  // Queues bytes for the device; dropped when the link is down.
  void send(std::vector<uint8_t> bytes);
  // Queues last_words if the link is up, waits up to drain_timeout for them
  // (and everything queued before) to be written, closes the device and joins
  // the I/O thread. Further calls do nothing.
  void stop(const std::vector<std::vector<uint8_t>>& last_words, std::chrono::milliseconds drain_timeout);

  bool isUp() const
  {
    return up_;
  }
  // Buffers handed to the device in full.
  uint64_t buffersWritten() const
  {
    return written_;
  }
  uint64_t buffersDropped() const
  {
    return dropped_;
  }

 private:
  void tryOpen();
  void scheduleRetry();
  void startRead();
  void enqueue(std::vector<uint8_t> bytes);
  void startWrite();
  void fail(const std::string& reason);
  void closeDevice();
  void runIo();

  Options options_;
  Callbacks callbacks_;

  boost::asio::io_service io_;
  std::unique_ptr<boost::asio::io_service::work> work_;
  boost::asio::serial_port port_;
  boost::asio::steady_timer retry_timer_;
  boost::asio::steady_timer drain_timer_;
  std::thread thread_;

  // Owned by the I/O thread.
  uint8_t read_buf_[512];
  std::deque<std::vector<uint8_t>> queue_;
  bool writing_ = false;
  bool stopping_ = false;

  std::atomic<bool> up_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace zv_ros_driver

#endif  // ZV_ROS_DRIVER_SERIAL_TRANSPORT_H
