// One thread of its own that runs the tasks handed to it in turn: for work an analysis overlaps
// with its own on the calling thread (the caller decodes on a third). Internal to vision/.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace tv {

class Background {
 public:
  Background();
  ~Background();  // runs what was handed over, then joins
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Runs `task` after those handed over before it; its answer (or exception) in the future.
  template <class Task>
  auto run(Task task) -> std::future<decltype(task())> {
    auto packaged = std::make_shared<std::packaged_task<decltype(task())()>>(std::move(task));
    auto answer = packaged->get_future();
    push([packaged] { (*packaged)(); });
    return answer;
  }

 private:
  void push(std::function<void()> task);
  void loop();

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;
  bool closing_ = false;
  std::thread thread_;  // last: started once the rest is in place
};

}  // namespace tv
