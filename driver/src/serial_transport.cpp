#include "zv_ros_driver/serial_transport.h"

#include <exception>

namespace zv_ros_driver
{
namespace
{
std::string describe(const boost::system::error_code& ec)
{
  if (ec == boost::asio::error::eof)
  {
    return "end of file (the device was closed)";
  }
  return ec.message();
}

}  // namespace

SerialTransport::SerialTransport(const Options& options, const Callbacks& callbacks)
    : options_(options), callbacks_(callbacks), port_(io_), retry_timer_(io_), drain_timer_(io_)
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

void SerialTransport::runIo()
{
  for (;;)
  {
    try
    {
      io_.run();
      return;
    }
    catch (const std::exception& e)
    {
      // A throwing callback must not end the link; report it and keep serving.
      if (callbacks_.on_failure)
      {
        callbacks_.on_failure(std::string("an I/O callback threw: ") + e.what(), up_);
      }
    }
  }
}

void SerialTransport::tryOpen()
{
  if (stopping_)
  {
    return;
  }
  boost::system::error_code ec;
  port_.open(options_.port, ec);
  std::string reason;
  if (ec)
  {
    reason = "cannot open: " + describe(ec);
  }
  else
  {
    typedef boost::asio::serial_port_base spb;
    port_.set_option(spb::baud_rate(options_.baud), ec);
    if (ec)
    {
      reason = "baud rate " + std::to_string(options_.baud) + " rejected: " + describe(ec);
    }
    else
    {
      // Raw 8N1 without flow control (Asio opens the device in raw mode).
      port_.set_option(spb::character_size(8), ec);
      if (!ec)
        port_.set_option(spb::parity(spb::parity::none), ec);
      if (!ec)
        port_.set_option(spb::stop_bits(spb::stop_bits::one), ec);
      if (!ec)
        port_.set_option(spb::flow_control(spb::flow_control::none), ec);
      if (ec)
      {
        reason = "cannot set 8N1 without flow control: " + describe(ec);
      }
    }
  }
  if (!reason.empty())
  {
    closeDevice();
    if (callbacks_.on_failure)
    {
      callbacks_.on_failure(reason, false);
    }
    scheduleRetry();
    return;
  }

  up_ = true;
  if (!options_.greeting.empty())
  {
    enqueue(options_.greeting);
  }
  if (callbacks_.on_open)
  {
    callbacks_.on_open();
  }
  startRead();
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
        if (!ec)
        {
          tryOpen();
        }
      });
}

void SerialTransport::startRead()
{
  port_.async_read_some(boost::asio::buffer(read_buf_),
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
                          if (callbacks_.on_data)
                          {
                            callbacks_.on_data(read_buf_, n);
                          }
                          if (up_)
                          {
                            startRead();
                          }
                        });
}

void SerialTransport::send(std::vector<uint8_t> bytes)
{
  // The move into the handler keeps the copy count at one.
  auto shared = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
  io_.post(
      [this, shared]
      {
        if (up_ && !stopping_)
        {
          enqueue(std::move(*shared));
        }
      });
}

void SerialTransport::enqueue(std::vector<uint8_t> bytes)
{
  if (queue_.size() >= options_.max_queued && queue_.size() > 1)
  {
    // The front may be in flight; drop the oldest one still waiting.
    queue_.erase(queue_.begin() + 1);
    ++dropped_;
  }
  queue_.push_back(std::move(bytes));
  startWrite();
}

void SerialTransport::startWrite()
{
  if (writing_ || queue_.empty() || !up_)
  {
    return;
  }
  writing_ = true;
  boost::asio::async_write(port_, boost::asio::buffer(queue_.front()),
                           [this](const boost::system::error_code& ec, size_t)
                           {
                             writing_ = false;
                             queue_.pop_front();
                             if (ec == boost::asio::error::operation_aborted)
                             {
                               // A reopened link may have queued its greeting behind the aborted write.
                               startWrite();
                               return;
                             }
                             if (ec)
                             {
                               fail("write failed: " + describe(ec));
                               return;
                             }
                             ++written_;
                             if (stopping_ && queue_.empty())
                             {
                               drain_timer_.cancel();
                               closeDevice();
                               return;
                             }
                             startWrite();
                           });
}

void SerialTransport::fail(const std::string& reason)
{
  if (!up_)
  {
    return;
  }
  closeDevice();
  if (callbacks_.on_failure)
  {
    callbacks_.on_failure(reason, true);
  }
  scheduleRetry();
}

void SerialTransport::closeDevice()
{
  up_ = false;
  // Keep the in-flight buffer alive until its handler runs; the rest is stale.
  if (writing_ && !queue_.empty())
  {
    queue_.erase(queue_.begin() + 1, queue_.end());
  }
  else
  {
    queue_.clear();
  }
  boost::system::error_code ignored;
  if (port_.is_open())
  {
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
    closeDevice();
    return;
  }
  io_.post(
      [this, last_words, drain_timeout]
      {
        stopping_ = true;
        retry_timer_.cancel();
        if (!up_)
        {
          closeDevice();
          return;
        }
        for (const std::vector<uint8_t>& bytes : last_words)
        {
          enqueue(bytes);
        }
        if (queue_.empty())
        {
          closeDevice();
          return;
        }
        drain_timer_.expires_from_now(drain_timeout);
        drain_timer_.async_wait(
            [this](const boost::system::error_code& ec)
            {
              if (!ec)
              {
                closeDevice();
              }
            });
      });
  work_.reset();
  thread_.join();
}

}  // namespace zv_ros_driver
