#include "zv_ros_driver/serial_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>

namespace zv_ros_driver
{
namespace
{
// One asynchronous read takes this much; what else the kernel holds is then
// read at once, up to the buffer's size.
const size_t kReadChunk = 4096;
const size_t kReadBuffer = 64 * 1024;
const std::chrono::milliseconds kDrainPoll(5);

std::string describe(const boost::system::error_code& ec)
{
  if (ec == boost::asio::error::eof)
  {
    return "end of file (the device was closed)";
  }
  return ec.message();
}

std::string describeOpenError(int err)
{
  switch (err)
  {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return std::string("no such device (") + std::strerror(err) +
             "): the rig is not plugged in, or ~port names another device";
    case EACCES:
    case EPERM:
      return "permission denied: add your user to the dialout group (sudo usermod -aG dialout $USER) and log in "
             "again";
    case EBUSY:
      return "another program holds it (opened exclusively): stop that program, e.g. a second zv_ros_driver or a "
             "serial monitor";
    default:
      return std::string("cannot open: ") + std::strerror(err);
  }
}

}  // namespace

SerialTransport::SerialTransport(const Options& options, const Callbacks& callbacks)
    : options_(options),
      callbacks_(callbacks),
      port_(io_),
      retry_timer_(io_),
      write_timer_(io_),
      drain_timer_(io_),
      read_buf_(kReadBuffer)
{
}

SerialTransport::~SerialTransport()
{
  stop({}, std::chrono::milliseconds(0));
}

void SerialTransport::start()
{
  if (thread_.joinable() || stopped_)
  {
    return;
  }
  work_.reset(new boost::asio::io_service::work(io_));
  io_.post([this] { tryOpen(); });
  thread_ = std::thread([this] { runIo(); });
}

void SerialTransport::post(std::function<void()> fn)
{
  io_.post(std::move(fn));
}

void SerialTransport::runIo()
{
  for (;;)
  {
    std::string reason;
    try
    {
      io_.run();
      return;
    }
    catch (const std::exception& e)
    {
      reason = std::string("an I/O callback threw: ") + e.what();
    }
    catch (...)
    {
      reason = "an I/O callback threw an unknown exception";
    }
    // The throw left a read or a write unfinished: the link would look up and
    // be dead. Close it, reopen it later, and say why.
    const bool was_up = up_;
    closeDevice(true);
    scheduleRetry();
    try
    {
      if (callbacks_.on_failure)
      {
        callbacks_.on_failure(reason, was_up);
      }
    }
    catch (...)
    {
    }
  }
}

std::string SerialTransport::openDevice(std::string& low_latency)
{
  const int fd = ::open(options_.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
  {
    return describeOpenError(errno);
  }
  std::string problem;
  termios tio;
  // TIOCEXCL keeps other programs out, but root passes it; the lock stops a
  // second driver whoever runs it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
  {
    problem = errno == EWOULDBLOCK ? describeOpenError(EBUSY) : std::string("cannot lock: ") + std::strerror(errno);
  }
  else if (::tcgetattr(fd, &tio) != 0)
  {
    problem = std::string("not a serial device (") + std::strerror(errno) + ")";
  }
  else if (::ioctl(fd, TIOCEXCL) != 0)
  {
    problem = std::string("cannot open exclusively: ") + std::strerror(errno);
  }
  else
  {
    // Raw 8N1, no flow control, receiver on, modem lines ignored.
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
    {
      problem = std::string("cannot set raw 8N1: ") + std::strerror(errno);
    }
  }
  if (!problem.empty())
  {
    ::close(fd);
    return problem;
  }

  // Without it a USB adapter holds received bytes for its latency timer (up to
  // 16 ms) and hands them over in bunches.
  serial_struct serial;
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
  {
    low_latency = std::string("not supported by this device: ") + std::strerror(errno);
  }
  else
  {
    serial.flags |= ASYNC_LOW_LATENCY;
    low_latency = ::ioctl(fd, TIOCSSERIAL, &serial) == 0
                      ? std::string("on")
                      : std::string("not supported by this device: ") + std::strerror(errno);
  }

  boost::system::error_code ec;
  port_.assign(fd, ec);
  if (ec)
  {
    ::close(fd);
    return "cannot use the device: " + describe(ec);
  }
  port_.set_option(boost::asio::serial_port_base::baud_rate(options_.baud), ec);
  if (ec)
  {
    closeDevice(false);
    return "baud rate " + std::to_string(options_.baud) + " rejected: " + describe(ec) +
           "; set ~baud to a standard rate such as 115200";
  }
  // Whatever arrived before is stale, and may be a bootloader's chatter.
  ::tcflush(fd, TCIFLUSH);
  return std::string();
}

void SerialTransport::tryOpen()
{
  if (stopping_)
  {
    return;
  }
  std::string low_latency;
  const std::string reason = openDevice(low_latency);
  if (!reason.empty())
  {
    scheduleRetry();
    if (callbacks_.on_failure)
    {
      callbacks_.on_failure(reason, false);
    }
    return;
  }
  up_ = true;
  writes_enabled_ = false;
  startRead();
  if (callbacks_.on_open)
  {
    callbacks_.on_open(low_latency);
  }
}

void SerialTransport::scheduleRetry()
{
  if (stopping_)
  {
    return;
  }
  retry_timer_.expires_from_now(options_.retry_period);
  retry_timer_.async_wait(
      [this](const boost::system::error_code& ec)
      {
        if (!ec && !up_)
        {
          tryOpen();
        }
      });
}

void SerialTransport::startRead()
{
  port_.async_read_some(boost::asio::buffer(read_buf_.data(), kReadChunk),
                        [this](const boost::system::error_code& ec, size_t n)
                        {
                          if (ec == boost::asio::error::operation_aborted || !up_)
                          {
                            return;
                          }
                          if (ec)
                          {
                            fail("read failed: " + describe(ec));
                            return;
                          }
                          // Take the rest of what waits in the kernel, so that a
                          // backlog is handed over whole and judged as one.
                          while (n + kReadChunk <= read_buf_.size())
                          {
                            const ssize_t more = ::read(port_.native_handle(), read_buf_.data() + n, kReadChunk);
                            if (more <= 0)
                            {
                              break;  // caught up; an error shows on the next read
                            }
                            n += static_cast<size_t>(more);
                          }
                          if (callbacks_.on_data)
                          {
                            callbacks_.on_data(read_buf_.data(), n);
                          }
                          if (up_)
                          {
                            startRead();
                          }
                        });
}

void SerialTransport::enableWrites()
{
  if (up_ && !stopping_)
  {
    writes_enabled_ = true;
  }
}

void SerialTransport::write(std::vector<uint8_t> frame, bool replaceable)
{
  if (!up_ || !writes_enabled_ || stopping_)
  {
    return;
  }
  if (replaceable)
  {
    // The front may be in flight: its buffer must live until its handler runs.
    const auto first_waiting = queue_.begin() + (writing_ && !queue_.empty() ? 1 : 0);
    const auto kept = std::remove_if(first_waiting, queue_.end(), [](const Outgoing& o) { return o.replaceable; });
    dropped_ += static_cast<uint64_t>(queue_.end() - kept);
    queue_.erase(kept, queue_.end());
  }
  queue_.push_back(Outgoing{std::move(frame), replaceable});
  if (queue_.size() > options_.max_queued)
  {
    fail(std::to_string(queue_.size()) + " frames waiting to be written: the device is not taking data");
    return;
  }
  startWrite();
}

void SerialTransport::writeFirst(const std::vector<std::vector<uint8_t>>& frames)
{
  if (!up_ || !writes_enabled_ || stopping_)
  {
    return;
  }
  queueFirst(frames);
}

void SerialTransport::queueFirst(const std::vector<std::vector<uint8_t>>& frames)
{
  dropped_ += discardWaiting();
  for (const std::vector<uint8_t>& frame : frames)
  {
    queue_.push_back(Outgoing{frame, false});
  }
  startWrite();
}

size_t SerialTransport::discardWaiting()
{
  // The front may be in flight: its buffer must live until its handler runs.
  const size_t keep = writing_ && !queue_.empty() ? 1 : 0;
  const size_t discarded = queue_.size() - keep;
  queue_.erase(queue_.begin() + keep, queue_.end());
  return discarded;
}

void SerialTransport::startWrite()
{
  if (writing_ || queue_.empty() || !up_)
  {
    return;
  }
  // A USB adapter reports what still waits in its driver (a pty always says 0):
  // more than the line sends in write_timeout means nobody is taking it.
  int waiting = 0;
  const long limit = static_cast<long>(options_.baud) / 10 * options_.write_timeout.count() / 1000;
  if (::ioctl(port_.native_handle(), TIOCOUTQ, &waiting) == 0 && waiting > limit)
  {
    fail(std::to_string(waiting) + " bytes still waiting in the device's output queue: the device is not taking data");
    return;
  }
  const unsigned sequence = ++write_sequence_;
  write_timer_.expires_from_now(options_.write_timeout);
  write_timer_.async_wait(
      [this, sequence](const boost::system::error_code& ec)
      {
        if (!ec && writing_ && sequence == write_sequence_)
        {
          fail("a write did not complete within " + std::to_string(options_.write_timeout.count()) +
               " ms: the device is not taking data");
        }
      });
  boost::asio::async_write(port_, boost::asio::buffer(queue_.front().bytes),
                           [this](const boost::system::error_code& ec, size_t) { onWritten(ec); });
  // Only once the write is under way: should anything above throw, no handler
  // would ever clear the flag, and nothing would be written again.
  writing_ = true;
}

void SerialTransport::onWritten(const boost::system::error_code& ec)
{
  writing_ = false;
  write_timer_.cancel();
  const std::vector<uint8_t> done = std::move(queue_.front().bytes);
  queue_.pop_front();
  if (ec == boost::asio::error::operation_aborted)
  {
    // The device was closed under this write; a reopened link may have queued more.
    startWrite();
    return;
  }
  if (ec)
  {
    fail("write failed: " + describe(ec));
    return;
  }
  ++written_;
  if (callbacks_.on_written)
  {
    callbacks_.on_written(done);
  }
  if (stopping_ && queue_.empty())
  {
    finishDrain();
    return;
  }
  startWrite();
}

void SerialTransport::finishDrain()
{
  if (!port_.is_open())
  {
    return;
  }
  int waiting = 0;
  if (::ioctl(port_.native_handle(), TIOCOUTQ, &waiting) != 0)
  {
    waiting = 0;
  }
  if (queue_.empty() && waiting == 0)
  {
    closeDevice(false);
    return;
  }
  if (std::chrono::steady_clock::now() >= drain_deadline_)
  {
    // Discarded, so that closing cannot wait on a device that takes nothing.
    closeDevice(true);
    return;
  }
  drain_timer_.expires_from_now(kDrainPoll);
  drain_timer_.async_wait(
      [this](const boost::system::error_code& ec)
      {
        if (!ec)
        {
          finishDrain();
        }
      });
}

void SerialTransport::fail(const std::string& reason)
{
  if (!up_)
  {
    return;
  }
  closeDevice(true);
  scheduleRetry();
  if (callbacks_.on_failure)
  {
    callbacks_.on_failure(reason, true);
  }
}

void SerialTransport::closeDevice(bool discard_output)
{
  up_ = false;
  writes_enabled_ = false;
  write_timer_.cancel();
  drain_timer_.cancel();
  // What waits is stale, and not counted as dropped.
  discardWaiting();
  if (port_.is_open())
  {
    const int fd = port_.native_handle();
    if (discard_output)
    {
      // Frames of a failed link are stale: they must not reach the rig later.
      ::tcflush(fd, TCOFLUSH);
    }
    // The exclusive flag would outlive us on a tty that another process holds.
    ::ioctl(fd, TIOCNXCL);
    boost::system::error_code ignored;
    port_.close(ignored);
  }
}

void SerialTransport::stop(const std::vector<std::vector<uint8_t>>& last_words, std::chrono::milliseconds drain_timeout)
{
  if (stopped_.exchange(true))
  {
    return;
  }
  if (!thread_.joinable())
  {
    closeDevice(true);
    return;
  }
  io_.post(
      [this, last_words, drain_timeout]
      {
        const bool can_speak = up_ && writes_enabled_ && !last_words.empty();
        stopping_ = true;
        retry_timer_.cancel();
        if (!can_speak)
        {
          closeDevice(true);
          return;
        }
        // What the kernel still holds is older than the last words, and a
        // device that stopped reading would get it first.
        ::tcflush(port_.native_handle(), TCOFLUSH);
        drain_deadline_ = std::chrono::steady_clock::now() + drain_timeout;
        // writeFirst() refuses once stopping.
        queueFirst(last_words);
        finishDrain();
      });
  work_.reset();
  thread_.join();
}

}  // namespace zv_ros_driver
