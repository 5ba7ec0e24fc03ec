#include "vision/background.h"

namespace tv {

Background::Background() : thread_([this] { loop(); }) {}

Background::~Background() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Background::push(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    tasks_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void Background::loop() {
  while (true) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [&] { return closing_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();  // a packaged task: what it throws goes to its future
  }
}

}  // namespace tv
