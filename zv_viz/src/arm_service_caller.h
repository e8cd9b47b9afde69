#ifndef ZV_VIZ_ARM_SERVICE_CALLER_H
#define ZV_VIZ_ARM_SERVICE_CALLER_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zv_viz
{
// Calls the driver's std_srvs/SetBool arm service on a thread of its own, one call at a time, so
// that the caller (RViz's GUI thread) never waits on the network or on a stuck driver. A request
// not yet sent is replaced by a newer one: after ARM then STOP in quick succession, STOP is the
// last thing the driver hears.
class ArmServiceCaller
{
 public:
  struct Result
  {
    uint64_t id = 0;
    bool arm = false;
    // The driver answered (whatever it answered).
    bool delivered = false;
    // The driver's own verdict and message; when not delivered, the message says why.
    bool success = false;
    std::string message;
  };

  explicit ArmServiceCaller(const std::string& service);
  // Waits a second at most for a call in flight; a call to a driver that never answers is left to
  // end on its own, so closing RViz never hangs on it.
  ~ArmServiceCaller();
  ArmServiceCaller(const ArmServiceCaller&) = delete;
  ArmServiceCaller& operator=(const ArmServiceCaller&) = delete;

  // Queues arm (true) or disarm (false); returns the id its result will carry.
  uint64_t request(bool arm);
  // The newest result not taken yet, if any.
  bool takeResult(Result* result);

 private:
  struct Shared
  {
    std::mutex mutex;
    std::condition_variable wake;
    bool has_pending = false;
    bool pending_arm = false;
    uint64_t pending_id = 0;
    uint64_t next_id = 1;
    bool has_result = false;
    Result result;
    bool quit = false;
    bool finished = false;
  };
  static void run(std::shared_ptr<Shared> shared, std::string service);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace zv_viz

#endif  // ZV_VIZ_ARM_SERVICE_CALLER_H
