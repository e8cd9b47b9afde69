#include "arm_service_caller.h"

#include <ros/ros.h>
#include <std_srvs/SetBool.h>

#include <chrono>
#include <utility>

namespace zv_viz
{
namespace
{
ArmServiceCaller::Result callOnce(ros::NodeHandle& nh, ros::ServiceClient& client, const std::string& service, bool arm)
{
  ArmServiceCaller::Result result;
  result.arm = arm;
  std_srvs::SetBool call;
  call.request.data = arm;
  // A persistent connection spares each press the master lookup and a new TCP connection. After a
  // driver restart the old connection is dead: the first failure retries once on a fresh one.
  bool called = false;
  for (int attempt = 0; attempt < 2 && !called; ++attempt)
  {
    if (attempt > 0 || !client.isValid())
    {
      client = nh.serviceClient<std_srvs::SetBool>(service, true);
    }
    called = client.call(call);
  }
  if (!called)
  {
    result.message = ros::service::exists(service, false)
                         ? "the call to " + service + " failed: the driver did not answer; try again"
                         : service + " is not available: is zv_ros_driver running?";
    return result;
  }
  result.delivered = true;
  result.success = call.response.success;
  result.message = call.response.message;
  return result;
}
}  // namespace

ArmServiceCaller::ArmServiceCaller(const std::string& service) : shared_(std::make_shared<Shared>())
{
  thread_ = std::thread(&ArmServiceCaller::run, shared_, service);
}

ArmServiceCaller::~ArmServiceCaller()
{
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->quit = true;
  shared_->wake.notify_all();
  const bool finished = shared_->wake.wait_for(lock, std::chrono::seconds(1), [this] { return shared_->finished; });
  lock.unlock();
  if (finished)
  {
    thread_.join();
  }
  else
  {
    // The thread owns its share of the state and ends when its call does.
    thread_.detach();
  }
}

uint64_t ArmServiceCaller::request(bool arm)
{
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->has_pending = true;
  shared_->pending_arm = arm;
  shared_->pending_id = shared_->next_id++;
  shared_->wake.notify_all();
  return shared_->pending_id;
}

bool ArmServiceCaller::takeResult(Result* result)
{
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (!shared_->has_result)
  {
    return false;
  }
  *result = shared_->result;
  shared_->has_result = false;
  return true;
}

void ArmServiceCaller::run(std::shared_ptr<Shared> shared, std::string service)
{
  ros::NodeHandle nh;
  ros::ServiceClient client;
  std::unique_lock<std::mutex> lock(shared->mutex);
  for (;;)
  {
    shared->wake.wait(lock, [&] { return shared->quit || shared->has_pending; });
    // A request made just before the panel closed (a STOP, most likely) still goes out.
    if (!shared->has_pending)
    {
      break;
    }
    const bool arm = shared->pending_arm;
    const uint64_t id = shared->pending_id;
    shared->has_pending = false;
    lock.unlock();
    Result result = callOnce(nh, client, service, arm);
    result.id = id;
    lock.lock();
    shared->result = std::move(result);
    shared->has_result = true;
  }
  shared->finished = true;
  shared->wake.notify_all();
}

}  // namespace zv_viz
